// kbdinspect: reads a Windows keyboard layout DLL on any host (i386 with
// 32-bit or WOW64 records, amd64, arm64, either view of arm64x) and shows
// what it types.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "kbdinspect/font_file.h"
#include "kbdinspect/html_page.h"
#include "kbdinspect/layout.h"
#include "kbdinspect/report.h"
#include "kbdinspect/strokes.h"
#include "kbdinspect/svg_chart.h"
#include "kbdinspect/translate.h"
#include "pe/text.h"

namespace {

const char kUsage[] =
    "usage: kbdinspect check FILE          validate the layout and summarise it\n"
    "                                      (both views of an ARM64X image, compared)\n"
    "       kbdinspect chart [--ec] FILE   print every table of the layout\n"
    "       kbdinspect svg [--ec] FILE [OUT]\n"
    "                                      draw the keyboard chart as SVG (to OUT or stdout)\n"
    "       kbdinspect html [--ec] [--font TTF] [--fixed TTF] FILE [OUT]\n"
    "                                      write the typing page (to OUT or stdout), with\n"
    "                                      the text font and the fixed font embedded\n"
    "       kbdinspect type [--ec] FILE STROKE...\n"
    "                                      type key strokes, print the code points\n"
    "       kbdinspect chars [--ec] FILE   list every character the layout types\n"
    "       kbdinspect keys                the key-stroke syntax\n"
    "--ec reads an ARM64X image's ARM64EC view, the one x64 processes get, instead of\n"
    "its native ARM64 view.\n";

// The view the reading commands take, set by --ec.
kbd::View view = kbd::View::kNative;

// The typed text with control characters written as <U+XXXX>.
std::string Printable(const std::u32string& text) {
  std::string out;
  for (char32_t c : text)
    out += (c < 0x20 || c == 0x7F) ? "<" + kbd::CodePoints(std::u32string(1, c)) + ">"
                                   : pe::EncodeUtf8(std::u32string(1, c));
  return out;
}

// Loads FILE, printing the reason to stderr on failure.
std::optional<kbd::LayoutFile> Load(const std::string& path, kbd::View chosen_view = view) {
  auto loaded = kbd::LoadLayout(path, chosen_view);
  if (!loaded) {
    std::cerr << "kbdinspect: " << loaded.error() << "\n";
    return std::nullopt;
  }
  return std::move(*loaded);
}

// The summary of one image, or one view, and whether its pointers are all
// relocated.
void Report(const kbd::LayoutFile& loaded) {
  kbd::PrintSummary(std::cout, loaded.layout);
  const auto gaps = kbd::RelocationGaps(loaded.image, loaded.layout);
  for (const std::string& gap : gaps) std::cout << "warning: " << gap << "\n";
  std::cout << loaded.layout.pointer_sites.size() << " pointers, "
            << (gaps.empty() ? "all" : "not all") << " covered by base relocations\n";
}

// Module name, name, ordinal and forwarder of every export: what a caller
// can look up.
std::vector<std::string> ExportList(const pe::PeImage& image) {
  std::vector<std::string> out;
  auto exports = image.Exports();
  if (!exports) return {exports.error()};
  for (const pe::Export& e : exports->functions)
    out.push_back(exports->dll_name + "!" + e.name + " @" + std::to_string(e.ordinal) +
                  (e.forwarder.empty() ? "" : " -> " + e.forwarder));
  return out;
}

// An ARM64X image holds a layout for native and for x64 processes; both
// must hold the same tables behind the same export.
int CheckBothViews(const std::string& path, const kbd::LayoutFile& native) {
  auto ec = Load(path, kbd::View::kArm64ec);
  if (!ec) return 1;
  std::cout << path << ": a keyboard layout, ARM64X image (PE32+) with two views\n"
            << "\n"
            << kbd::ModuleKindName(native.layout.kind) << "\n";
  Report(native);
  std::cout << "\n" << kbd::ModuleKindName(ec->layout.kind) << "\n";
  Report(*ec);
  std::cout << "\n";
  auto differences = kbd::TableDifferences(native.layout, ec->layout);
  if (ExportList(native.image) != ExportList(ec->image)) differences.push_back("the exports");
  for (const std::string& what : differences)
    std::cout << "error: the two views differ in " << what << "\n";
  if (!differences.empty()) return 1;
  std::cout << "the two views export the same accessor and hold the same tables\n";
  return 0;
}

int Check(const std::string& path) {
  auto loaded = Load(path);
  if (!loaded) return 1;
  if (loaded->layout.kind == kbd::ModuleKind::kArm64xNative) return CheckBothViews(path, *loaded);
  std::cout << path << ": a keyboard layout, " << kbd::ModuleKindName(loaded->layout.kind) << "\n";
  Report(*loaded);
  return 0;
}

int Chart(const std::string& path) {
  auto loaded = Load(path);
  if (!loaded) return 1;
  kbd::PrintChart(std::cout, loaded->layout);
  return 0;
}

// Writes the document to OUT, or to stdout without one. A file is written
// next to OUT first and renamed into place, so that a failed run never
// leaves a truncated document behind.
int WriteDocument(const std::string& text, const std::optional<std::string>& out_path) {
  if (!out_path) {
    std::cout << text;
    return std::cout.flush() ? 0 : 1;
  }
  const std::string partial = *out_path + ".partial";
  std::ofstream file(partial, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  std::error_code error;
  if (file) std::filesystem::rename(partial, *out_path, error);
  if (!file || error) {
    std::cerr << "kbdinspect: cannot write " << *out_path << "\n";
    std::filesystem::remove(partial, error);
    return 1;
  }
  return 0;
}

int Svg(const std::string& path, const std::optional<std::string>& out_path) {
  auto loaded = Load(path);
  if (!loaded) return 1;
  return WriteDocument(
      kbd::SvgChart(loaded->layout, std::filesystem::path(path).filename().string()), out_path);
}

// html [--font TTF] [--fixed TTF] FILE [OUT]
int Html(std::vector<std::string> args) {
  kbd::PageFonts fonts;
  while (args.size() >= 2 && (args[0] == "--font" || args[0] == "--fixed")) {
    auto font = kbd::LoadFont(args[1]);
    if (!font) {
      std::cerr << "kbdinspect: " << font.error() << "\n";
      return 1;
    }
    (args[0] == "--font" ? fonts.text : fonts.fixed) = std::move(*font);
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty() || args.size() > 2 || args[0].starts_with("--")) {
    std::cerr << kUsage;
    return 2;
  }
  auto loaded = Load(args[0]);
  if (!loaded) return 1;
  if (!loaded->layout.dead_keys.empty())
    std::cerr << "kbdinspect: warning: the page does not compose dead keys; they type nothing\n";
  const std::string name = std::filesystem::path(args[0]).filename().string();
  return WriteDocument(kbd::HtmlPage(loaded->layout, name, fonts),
                       args.size() == 2 ? std::optional(args[1]) : std::nullopt);
}

// One line per character: "U+0061 a", "U+0301 ◌́", "U+0008".
int Chars(const std::string& path) {
  auto loaded = Load(path);
  if (!loaded) return 1;
  for (char32_t c : kbd::TypedCharacters(loaded->layout))
    std::cout << kbd::CharacterText(c) << "\n";
  return 0;
}

int Type(const std::string& path, const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += word + " ";
  auto strokes = kbd::ParseStrokes(text);
  if (!strokes) {
    std::cerr << "kbdinspect: " << strokes.error() << "\n";
    return 2;
  }
  auto loaded = Load(path);
  if (!loaded) return 1;
  const kbd::Layout& layout = loaded->layout;

  kbd::KeyboardState state;
  std::u16string typed;
  for (const kbd::Stroke& stroke : *strokes) {
    const kbd::TypedStroke result = kbd::TypeStroke(layout, stroke, state);
    std::string line = "  " + stroke.text;
    line.resize(std::max<size_t>(line.size() + 1, 20), ' ');
    if (!result.vk) {
      std::cout << line << "no key\n";
      continue;
    }
    line += kbd::VkName(*result.vk) + ", " + kbd::MaskName(layout, result.mask);
    const auto& t = result.translation;
    if (t.column) line += ", column " + std::to_string(*t.column);
    line.resize(std::max<size_t>(line.size() + 1, 52), ' ');
    switch (t.outcome) {
      case kbd::Outcome::kNothing: line += "nothing"; break;
      case kbd::Outcome::kDead: line += "dead key"; break;
      case kbd::Outcome::kLigature: line += "ligature"; break;
      case kbd::Outcome::kCharacter: break;
    }
    if (!result.output.empty())
      line += (t.outcome == kbd::Outcome::kCharacter ? "" : " ") +
              kbd::CodePoints(pe::DecodeUtf16(result.output));
    if (state.caps_lock && result.vk == kbd::VK_CAPITAL) line += " (Caps Lock on)";
    if (!state.caps_lock && result.vk == kbd::VK_CAPITAL) line += " (Caps Lock off)";
    std::cout << line << "\n";
    typed += result.output;
  }
  const std::u32string code_points = pe::DecodeUtf16(typed);
  std::cout << "code points: " << (code_points.empty() ? "none" : kbd::CodePoints(code_points))
            << "\n"
            << "text: " << Printable(code_points) << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // --ec may follow any reading command, before its FILE.
  if (args.size() >= 3 && args[1] == "--ec" && args[0] != "check" && args[0] != "keys") {
    view = kbd::View::kArm64ec;
    args.erase(args.begin() + 1);
  }
  if (args.size() == 1 && args[0] == "keys") {
    std::cout << kbd::StrokeSyntaxHelp();
    return 0;
  }
  if (args.size() == 2 && args[0] == "check") return Check(args[1]);
  if (args.size() == 2 && args[0] == "chart") return Chart(args[1]);
  if (args.size() == 2 && args[0] == "chars") return Chars(args[1]);
  if ((args.size() == 2 || args.size() == 3) && args[0] == "svg")
    return Svg(args[1], args.size() == 3 ? std::optional(args[2]) : std::nullopt);
  if (args.size() >= 2 && args[0] == "html")
    return Html(std::vector<std::string>(args.begin() + 1, args.end()));
  if (args.size() >= 2 && args[0] == "type")
    return Type(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  std::cerr << kUsage;
  return 2;
}
