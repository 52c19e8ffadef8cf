// The typing page as text, and the font reader that names its fonts; what
// the page does in a browser is tests/page/typing-page.py's.
#include <gtest/gtest.h>

#include <string>

#include "image_builder.h"
#include "kbdinspect/font_file.h"
#include "kbdinspect/html_page.h"
#include "pe/pe_image.h"

namespace {

using namespace kbd;

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return "";
  const size_t end = text.find(close, start + open.size());
  return text.substr(start + open.size(), end - start - open.size());
}

// Nothing the module types, the file is named or a font calls itself can
// end the element it is written in.
TEST(HtmlPage, EscapesWhatTheModuleTypesAndWhatTheFilesAreNamed) {
  Layout l = testimage::SampleLayout();
  l.tables[0].rows[0].cells = {'<', '/'};  // '1': "<" and, with Shift, "/"
  l.tables[1].rows[1].cells[3] = 0xD800;   // AltGr+A: a lone surrogate
  const FontFile font{"Evil\"</style>", "truetype", {1, 2, 3, 4}};
  const std::string page = HtmlPage(l, "<b>&.dll", {font, std::nullopt});

  const std::string script = Between(page, "<script>\n", "</script>");
  ASSERT_NE(script.find("const LAYOUT"), std::string::npos);
  EXPECT_EQ(script.find('<'), std::string::npos);
  EXPECT_NE(script.find("[\"\\u003C\", \"\\u003C\", \"U+003C \\u003C\", 0]"), std::string::npos);
  EXPECT_NE(script.find("[\"\\uD800\", "), std::string::npos) << "the unit as the module has it";
  // Backspace types U+0008 and Ctrl+Backspace U+007F: the browser's, not in the table.
  EXPECT_EQ(script.find("\\u0008"), std::string::npos);
  EXPECT_EQ(script.find("\\u007F"), std::string::npos);

  EXPECT_NE(page.find("<title>Typing with &lt;b&gt;&amp;.dll</title>"), std::string::npos);
  const std::string style = Between(page, "<style>\n", "</style>");
  EXPECT_NE(style.find("font-family: \"Evil\\\"\\3C /style>\"; src: "
                       "url(\"data:font/ttf;base64,AQIDBA==\") format(\"truetype\")"),
            std::string::npos)
      << style.substr(0, 200);
}

// The keys: a button per key of the main block, by the code the browser
// gives it; the keys that type nothing carry their names, and Shift, AltGr
// and Caps Lock are latches.
TEST(HtmlPage, OnScreenKeysAreTheMainBlockByTheirCodes) {
  const std::string page = HtmlPage(testimage::SampleLayout(), "sample.dll", {});
  size_t buttons = 0;
  for (size_t at = page.find("<button type=\"button\" data-code="); at != std::string::npos;
       at = page.find("<button type=\"button\" data-code=", at + 1))
    ++buttons;
  EXPECT_EQ(buttons, 62u);  // 14, 14, 13, 13 and 8 keys from the number row down
  for (const char* key : {"data-code=\"KeyA\" style=\"grid-area:3/8/span 1/span 4\"",
                          "data-code=\"Enter\" data-name=\"Enter\" data-action=\"newline\" "
                          "style=\"grid-area:2/56/span "
                          "2/span 5\"",
                          "data-code=\"Space\" data-name=\"Space\" style=",
                          "data-code=\"AltRight\" data-name=\"AltGr\" "
                          "data-latch=\"altgr\" aria-pressed=\"false\"",
                          "data-code=\"CapsLock\" data-name=\"Caps Lock\" data-latch=\"caps\""})
    EXPECT_NE(page.find(key), std::string::npos) << key;
  // A key the layout does not map has no name; only keys that type are in the table.
  EXPECT_NE(page.find("data-code=\"IntlBackslash\" style="), std::string::npos);
  EXPECT_NE(page.find("\"KeyQ\": ["), std::string::npos);
  EXPECT_EQ(page.find("\"ControlLeft\": ["), std::string::npos);
}

TEST(FontFile, NamesTheFamilyAndRefusesDamagedFonts) {
  auto bytes = pe::ReadFile(LDSER_TTF_PATH);
  ASSERT_TRUE(bytes) << bytes.error();
  auto font = ParseFont(*bytes);
  ASSERT_TRUE(font) << font.error();
  EXPECT_EQ(font->family, "Lindorian Serif");
  EXPECT_EQ(font->format, "truetype");
  EXPECT_EQ(font->bytes, *bytes);

  auto open_type = *bytes;
  open_type[0] = 'O', open_type[1] = 'T', open_type[2] = 'T', open_type[3] = 'O';
  EXPECT_EQ(ParseFont(open_type)->format, "opentype");

  // The name table's entry in the directory, and its offset field.
  size_t entry = 12;
  while (std::string(bytes->begin() + long(entry), bytes->begin() + long(entry) + 4) != "name")
    entry += 16;
  auto outside = *bytes;
  outside[entry + 8] = 0x7F;
  auto renamed = *bytes;
  renamed[entry] = 'N';
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{'M', 'Z', 0, 0, 0, 0}, "not a TrueType or OpenType font"},
      {std::vector<uint8_t>(bytes->begin(), bytes->begin() + 40), "cut short"},
      {outside, "the naming table points outside the font"},
      {renamed, "the font has no naming table"},
  };
  for (const auto& [data, message] : cases) {
    auto damaged = ParseFont(data);
    ASSERT_FALSE(damaged) << message;
    EXPECT_NE(damaged.error().find(message), std::string::npos) << damaged.error();
  }
  EXPECT_NE(LoadFont("/nonexistent/font.ttf").error().find("cannot open"), std::string::npos);
}

}  // namespace
