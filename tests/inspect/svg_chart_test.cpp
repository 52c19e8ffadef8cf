// The keyboard chart, read back with a real XML parser (Python's) and
// compared with what the translation functions say each key types.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <array>
#include <map>
#include <set>
#include <sstream>

#include "image_builder.h"
#include "run_command.h"
#include "kbdinspect/svg_chart.h"
#include "kbdinspect/translate.h"
#include "pe/text.h"

namespace {

namespace fs = std::filesystem;
using namespace kbd;

// The tab-separated fields of one line of the chart listing.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

std::string Hex(const std::u16string& units) {
  std::string out;
  for (char32_t c : pe::DecodeUtf16(units)) {
    char text[16];
    std::snprintf(text, sizeof text, "%s%04X", out.empty() ? "" : " ", unsigned(c));
    out += text;
  }
  return out;
}

struct ChartCorner {
  std::string cp;  // data-cp
  std::set<std::string> classes;
  std::string text;  // UTF-8
};

struct ChartKey {
  std::string vk;  // data-vk, "-" when unmapped
  std::set<std::string> classes;
  double x = 0, y = 0;
  std::map<std::string, ChartCorner> corners;  // by layer
  std::vector<std::string> labels;
};

struct Chart {
  bool read = false;
  std::string title;
  std::map<std::string, ChartKey> keys;      // by data-scan
  std::map<std::string, std::string> marks;  // data-cp -> the entry's text
  std::vector<std::string> lines;
};

std::set<std::string> Classes(const std::string& list) {
  std::set<std::string> out;
  std::istringstream words(list);
  for (std::string word; words >> word;) out.insert(word);
  return out;
}

// Reads a chart file with the XML parser; a file that does not parse fails the test.
Chart ReadChart(const std::string& path) {
  Chart chart;
  const ToolRun run =
      RunCommand(std::string(PYTHON3_PATH) + " " + SVG_DUMP_PATH + " " + path + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.output;
  if (run.status != 0) return chart;
  chart.read = true;
  std::istringstream lines(run.output);
  const std::map<std::string, size_t> widths = {
      {"title", 2}, {"key", 6}, {"corner", 6}, {"label", 3}, {"mark", 3}};
  for (std::string line; std::getline(lines, line);) {
    chart.lines.push_back(line);
    const auto f = Fields(line);
    if (f.empty() || !widths.count(f[0]) || f.size() != widths.at(f[0])) {
      ADD_FAILURE() << "unexpected line: " << line;
      continue;
    }
    if (f[0] == "title") {
      chart.title = f[1];
    } else if (f[0] == "key") {
      ChartKey& key = chart.keys[f[1]];
      EXPECT_TRUE(key.classes.empty()) << "key " << f[1] << " drawn twice";
      key.vk = f[2];
      key.classes = Classes(f[3]);
      key.x = std::stod(f[4]);
      key.y = std::stod(f[5]);
    } else if (f[0] == "corner") {
      chart.keys[f[1]].corners[f[2]] = {f[3], Classes(f[4]), f[5]};
    } else if (f[0] == "label") {
      chart.keys[f[1]].labels.push_back(f[2]);
    } else {
      chart.marks[f[1]] = f[2];
    }
  }
  return chart;
}

std::string ScanId(Prefix prefix, uint8_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%02X", prefix == Prefix::kE0 ? "E0 " : "", code);
  return text;
}

const char* const kLayers[] = {"base", "shift", "altgr", "shiftaltgr"};

// The masks of the four layers: nothing, Shift, AltGr (right Alt), both.
std::array<uint16_t, 4> LayerMasks(const Layout& layout) {
  return {0, ModifierMask(layout, {VK_LSHIFT}), ModifierMask(layout, {VK_RMENU}),
          ModifierMask(layout, {VK_LSHIFT, VK_RMENU})};
}

class SvgChartTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("svg_chart_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // The chart of a layout that has gone through a module image: built into
  // one, read back from its bytes.
  Chart ChartOf(const Layout& layout, const std::string& source = "sample.dll") {
    auto image = pe::PeImage::Parse(testimage::BuildLayoutImage(layout).bytes);
    EXPECT_TRUE(image.has_value());
    if (!image.has_value()) return {};
    auto read = ReadLayout(*image);
    EXPECT_TRUE(read.has_value()) << read.error();
    if (!read.has_value()) return {};
    const std::string path = Path("chart.svg");
    std::ofstream(path, std::ios::binary) << SvgChart(*read, source);
    return ReadChart(path);
  }

  fs::path dir_;
};

// The keys of the ISO main block by scan code, row by row.
std::vector<std::string> MainBlockScans() {
  std::vector<std::string> scans = {"29"};
  auto run = [&](uint8_t first, uint8_t last) {
    for (unsigned c = first; c <= last; ++c) scans.push_back(ScanId(Prefix::kNone, uint8_t(c)));
  };
  run(0x02, 0x0E);
  run(0x0F, 0x1C);
  scans.push_back("3A");
  run(0x1E, 0x28);
  scans.insert(scans.end(), {"2B", "2A", "56"});
  run(0x2C, 0x36);
  scans.insert(scans.end(), {"1D", "E0 5B", "38", "39", "E0 38", "E0 5C", "E0 5D", "E0 1D"});
  return scans;
}

TEST_F(SvgChartTest, BuiltModuleChartShowsWhatEachKeyTypes) {
  ASSERT_TRUE(fs::exists(LDKEYS_DLL_PATH)) << "the Windows build has not made " << LDKEYS_DLL_PATH;
  auto file = LoadLayout(LDKEYS_DLL_PATH);
  ASSERT_TRUE(file.has_value()) << file.error();
  const Layout* layout = &file->layout;
  ASSERT_TRUE(layout->locale_flags() & KLLF_ALTGR);

  const std::string svg = Path("ldkeys-chart.svg");
  const ToolRun run =
      RunCommand(std::string(KBDINSPECT_PATH) + " svg " + LDKEYS_DLL_PATH + " " + svg + " 2>&1");
  ASSERT_EQ(run.status, 0) << run.output;
  const Chart chart = ReadChart(svg);
  ASSERT_TRUE(chart.read);
  EXPECT_NE(chart.title.find("ldkeys.dll"), std::string::npos) << chart.title;

  const auto scans = MainBlockScans();
  EXPECT_EQ(chart.keys.size(), scans.size());
  for (const std::string& scan : scans) EXPECT_TRUE(chart.keys.count(scan)) << "no key " << scan;

  // Every key as the module's scan-code map and character tables make it.
  const auto masks = LayerMasks(*layout);
  std::set<char32_t> marks_drawn;
  size_t corners_compared = 0;
  for (const auto& [scan_text, key] : chart.keys) {
    SCOPED_TRACE("key " + scan_text);
    const bool extended = scan_text.size() > 2;
    const ScanCode scan{extended ? Prefix::kE0 : Prefix::kNone,
                        uint8_t(std::stoul(scan_text.substr(extended ? 3 : 0), nullptr, 16))};
    const auto vk = ScanCodeToVk(*layout, scan);
    ASSERT_TRUE(vk);
    ASSERT_EQ(key.vk, ScanId(Prefix::kNone, *vk));

    bool key_types_marks = false;
    for (int layer = 0; layer < 4; ++layer) {
      const Translation t = TranslateVk(*layout, *vk, masks[layer], false);
      const char16_t c = t.units.empty() ? 0 : t.units[0];
      const bool visible = t.outcome == Outcome::kCharacter && c > 0x20 && !(c >= 0x7F && c < 0xA0);
      const auto corner = key.corners.find(kLayers[layer]);
      if (!visible) {
        EXPECT_EQ(corner, key.corners.end()) << kLayers[layer] << " should be empty";
        continue;
      }
      ASSERT_NE(corner, key.corners.end()) << kLayers[layer] << " lacks " << Hex(t.units);
      EXPECT_EQ(corner->second.cp, Hex(t.units)) << kLayers[layer];
      const bool mark = c >= 0x0300 && c <= 0x036F;
      const std::u32string drawn = mark ? std::u32string{U'\u25CC', c} : std::u32string{c};
      EXPECT_EQ(corner->second.text, pe::EncodeUtf8(drawn)) << kLayers[layer];
      EXPECT_EQ(corner->second.classes.count("mark"), mark ? 1u : 0u) << kLayers[layer];
      if (mark) marks_drawn.insert(c);
      key_types_marks |= mark;
      ++corners_compared;
    }
    EXPECT_EQ(key.classes.count("marks"), key_types_marks ? 1u : 0u);
    const CharRow* row = layout->FindRow(*vk);
    EXPECT_EQ(key.classes.count("caplok"), row && (row->attributes & CAPLOK) ? 1u : 0u);
    EXPECT_EQ(key.classes.count("char"), key.corners.empty() ? 0u : 1u);
    if (key.corners.empty()) {
      EXPECT_EQ(key.labels.size(), 1u) << "a key without characters shows its name";
    }
  }
  EXPECT_GT(corners_compared, 100u);  // the block has some fifty character keys

  // Each mark is in the legend under its Unicode name.
  const std::map<char32_t, std::string> names = {{0x0300, "combining grave accent"},
                                                 {0x0301, "combining acute accent"},
                                                 {0x0302, "combining circumflex accent"},
                                                 {0x0304, "combining macron"},
                                                 {0x0306, "combining breve"},
                                                 {0x030D, "combining vertical line above"},
                                                 {0x0358, "combining dot above right"}};
  EXPECT_EQ(chart.marks.size(), marks_drawn.size());
  for (char32_t mark : marks_drawn) {
    const std::string cp = Hex(std::u16string(1, char16_t(mark)));
    ASSERT_TRUE(chart.marks.count(cp)) << cp;
    EXPECT_NE(chart.marks.at(cp).find("U+" + cp), std::string::npos) << chart.marks.at(cp);
    if (names.count(mark)) {
      EXPECT_NE(chart.marks.at(cp).find(names.at(mark)), std::string::npos) << chart.marks.at(cp);
    }
  }
  // The vertical line above is typed on two keys of the same caption; the
  // legend tells them apart.
  if (chart.marks.count("030D")) {
    EXPECT_NE(chart.marks.at("030D").find("left of Z"), std::string::npos)
        << chart.marks.at("030D");
  }

  // The ISO arrangement: grave key left of 1, the key left of Enter after
  // the apostrophe key, the 102nd key between left Shift and Z.
  auto left_of = [&](const std::string& a, const std::string& b) {
    const ChartKey &ka = chart.keys.at(a), &kb = chart.keys.at(b);
    EXPECT_EQ(ka.y, kb.y) << a << " and " << b << " are not on one row";
    EXPECT_LT(ka.x, kb.x) << a << " is not left of " << b;
  };
  left_of("29", "02");
  left_of("28", "2B");
  left_of("2A", "56");
  left_of("56", "2C");
  EXPECT_LT(chart.keys.at("02").y, chart.keys.at("10").y);
  EXPECT_LT(chart.keys.at("1E").y, chart.keys.at("2C").y);
}

TEST_F(SvgChartTest, CommandFailsWithoutLeavingAChart) {
  const ToolRun run = RunCommand(std::string(KBDINSPECT_PATH) + " svg " + Path("missing.dll") +
                                 " " + Path("out.svg") + " 2>&1");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("cannot open"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(Path("out.svg")));

  std::ofstream(Path("sample.dll"), std::ios::binary) << [] {
    const auto bytes = testimage::BuildLayoutImage(testimage::SampleLayout()).bytes;
    return std::string(bytes.begin(), bytes.end());
  }();
  const ToolRun unwritable =
      RunCommand(std::string(KBDINSPECT_PATH) + " svg " + Path("sample.dll") + " " +
                 Path("no/such/dir/out.svg") + " 2>&1");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_NE(unwritable.output.find("cannot write"), std::string::npos) << unwritable.output;

  const ToolRun to_stdout = RunCommand(std::string(KBDINSPECT_PATH) + " svg " + Path("sample.dll"));
  EXPECT_EQ(to_stdout.status, 0);
  EXPECT_EQ(to_stdout.output.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg", 0), 0u);
}

TEST_F(SvgChartTest, FollowsTheModuleTables) {
  const Chart before = ChartOf(testimage::SampleLayout());
  ASSERT_TRUE(before.read);
  ASSERT_EQ(before.keys.at("1E").corners.at("altgr").cp, "00E5");

  // One cell: å becomes ä on AltGr+A, and nothing else in the chart moves.
  Layout changed = testimage::SampleLayout();
  changed.tables[1].rows[1].cells[3] = 0x00E4;
  const Chart after = ChartOf(changed);
  ASSERT_EQ(after.lines.size(), before.lines.size());
  std::vector<std::string> differences;
  for (size_t i = 0; i < before.lines.size(); ++i)
    if (before.lines[i] != after.lines[i]) differences.push_back(after.lines[i]);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_EQ(differences[0], "corner\t1E\taltgr\t00E4\taltgr\t\u00E4");

  // A letter becomes a mark: the key is marked, the mark sits on a dotted
  // circle and the legend names it.
  Layout mark = testimage::SampleLayout();
  mark.tables[1].rows[1].cells[0] = 0x0303;
  const Chart with_mark = ChartOf(mark);
  EXPECT_TRUE(with_mark.keys.at("1E").classes.count("marks"));
  EXPECT_FALSE(before.keys.at("1E").classes.count("marks"));
  EXPECT_EQ(with_mark.keys.at("1E").corners.at("base").text, "\u25CC\u0303");
  ASSERT_TRUE(with_mark.marks.count("0303"));
  EXPECT_NE(with_mark.marks.at("0303").find("combining tilde"), std::string::npos);
  EXPECT_NE(with_mark.marks.at("0303").find("A key"), std::string::npos)
      << with_mark.marks.at("0303");

  // A cell with no character leaves its corner empty.
  Layout none = testimage::SampleLayout();
  none.tables[1].rows[1].cells[1] = WCH_NONE;
  const Chart without = ChartOf(none);
  EXPECT_FALSE(without.keys.at("1E").corners.count("shift"));
  EXPECT_TRUE(without.keys.at("1E").corners.count("base"));

  // Keys are placed by scan code through the module's map: swapping two
  // entries swaps what the two keys show.
  Layout swapped = testimage::SampleLayout();
  std::swap(swapped.scan_to_vk[0x10], swapped.scan_to_vk[0x1E]);
  const Chart moved = ChartOf(swapped);
  EXPECT_EQ(moved.keys.at("10").vk, "41");
  EXPECT_EQ(moved.keys.at("10").corners.at("base").text, "a");
  EXPECT_EQ(moved.keys.at("1E").corners.at("base").text, "\u25CC\u0358");
  EXPECT_TRUE(moved.keys.at("1E").classes.count("caplok"));
}

TEST_F(SvgChartTest, EscapesMarkupAndDrawsOnlyVisibleCharacters) {
  Layout l = testimage::SampleLayout();
  l.scan_to_vk[0x33] = 0xBC;  // the comma key
  l.tables[1].rows.push_back({0xBC, 0, {'<', '>', WCH_NONE, '&', '"'}});
  l.tables[0].rows[0].cells = {'\'', 0x1B};  // '1': an apostrophe, and Escape on Shift
  l.key_names[1].name = U"En\u001Bt<e>r";    // Enter: a name with a control character
  const std::string source = "<a href=\"x\">&'.dll";
  const Chart chart = ChartOf(l, source);
  ASSERT_TRUE(chart.read);

  EXPECT_NE(chart.title.find(source), std::string::npos) << chart.title;
  const ChartKey& comma = chart.keys.at("33");
  EXPECT_EQ(comma.corners.at("base").text, "<");
  EXPECT_EQ(comma.corners.at("shift").text, ">");
  EXPECT_EQ(comma.corners.at("altgr").text, "&");
  EXPECT_EQ(comma.corners.at("shiftaltgr").text, "\"");
  const ChartKey& one = chart.keys.at("02");
  EXPECT_EQ(one.corners.at("base").text, "'");
  EXPECT_FALSE(one.corners.count("shift")) << "a control character is not drawn";

  // Keys that type only control characters or a space show their names.
  for (const char* scan : {"0E", "1C", "39"}) {
    EXPECT_TRUE(chart.keys.at(scan).corners.empty()) << scan;
    EXPECT_TRUE(chart.keys.at(scan).classes.count("named")) << scan;
  }
  EXPECT_EQ(chart.keys.at("39").labels,
            std::vector<std::string>{"Space"});  // the module's key name
  EXPECT_EQ(chart.keys.at("1C").labels, std::vector<std::string>{"Ent<e>r"});
  EXPECT_EQ(chart.keys.at("56").vk, "-");  // no entry in the sample's map
  EXPECT_TRUE(chart.keys.at("56").classes.count("unmapped"));

  // A mark typed on its own sits on a dotted circle.
  EXPECT_EQ(chart.keys.at("10").corners.at("base").text, "\u25CC\u0358");
  EXPECT_EQ(chart.keys.at("10").corners.at("base").cp, "0358");

  // A file name that is not UTF-8 still gives a well-formed document.
  const Chart odd = ChartOf(testimage::SampleLayout(), "bad\xFF\x01name\xC0\xAF.dll");
  ASSERT_TRUE(odd.read);
  EXPECT_NE(odd.title.find("bad\uFFFDname\uFFFD\uFFFD.dll"), std::string::npos) << odd.title;
}

}  // namespace
