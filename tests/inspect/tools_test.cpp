// The pechecksum and kbdinspect programs as a build or a person runs them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "image_builder.h"
#include "run_command.h"
#include "pe/arm64x.h"
#include "pe/pe_image.h"

namespace {

namespace fs = std::filesystem;

// Both of the program's output streams.
ToolRun RunTool(const std::string& command) { return RunCommand(command + " 2>&1"); }

class ToolsTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("inspect_tools_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    return path.string();
  }

  fs::path dir_;
};

TEST_F(ToolsTest, PechecksumWritesTheChecksumIntoTheHeader) {
  auto bytes = testimage::BuildLayoutImage(testimage::SampleLayout()).bytes;
  bytes.push_back(0x5A);  // an odd length exercises the padded last word
  const std::string path = Write("sample.dll", bytes);
  const ToolRun run = RunTool(std::string(PECHECKSUM_PATH) + " " + path);
  ASSERT_EQ(run.status, 0) << run.output;

  auto written = pe::ReadFile(path);
  ASSERT_TRUE(written.has_value());
  ASSERT_EQ(written->size(), bytes.size());
  auto image = pe::PeImage::Parse(*written);
  ASSERT_TRUE(image.has_value()) << image.error();
  EXPECT_NE(image->headers().checksum, 0u);
  EXPECT_EQ(image->headers().checksum,
            pe::ComputeChecksum(*written, image->headers().checksum_offset));
  // Only the four bytes of the field changed.
  const uint32_t field = image->headers().checksum_offset;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i < field || i >= field + 4) {
      ASSERT_EQ((*written)[i], bytes[i]) << i;
    }
  }
}

TEST_F(ToolsTest, PechecksumRefusesWhatIsNotAPeFile) {
  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
  const std::string path = Write("notes.txt", text);
  const ToolRun run = RunTool(std::string(PECHECKSUM_PATH) + " " + path);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("not a PE image"), std::string::npos) << run.output;
  EXPECT_EQ(*pe::ReadFile(path), text);
  EXPECT_NE(RunTool(std::string(PECHECKSUM_PATH) + " " + (dir_ / "missing.dll").string()).status,
            0);
}

TEST_F(ToolsTest, KbdinspectChecksChartsAndTypes) {
  const auto built = testimage::BuildLayoutImage(testimage::SampleLayout());
  const std::string path = Write("sample.dll", built.bytes);
  const std::string tool = KBDINSPECT_PATH;

  ToolRun run = RunTool(tool + " check " + path);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("character tables 3 with 10 rows"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("all covered by base relocations"), std::string::npos) << run.output;

  run = RunTool(tool + " chart " + path);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("mask 4 (Alt) -> SHFT_INVALID"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("'Q'"), std::string::npos);
  EXPECT_NE(run.output.find("CAPLOK      0:U+0358"), std::string::npos) << run.output;

  run = RunTool(tool + " type " + path + " a quote 'shift+1 ctrl+enter'");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("code points: U+0061 U+0301 U+0021\n"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("text: a\u0301!\n"), std::string::npos) << run.output;

  // Each character once, in code-point order. The '#' of the last table's
  // 'A' row is never typed: the earlier table's 'A' row wins.
  run = RunTool(tool + " chars " + path);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output,
            "U+0008\nU+000D\nU+0020\nU+0021 !\nU+0022 \"\nU+0027 '\nU+002F /\nU+0030 0\n"
            "U+0031 1\nU+0041 A\nU+0051 Q\nU+0061 a\nU+0071 q\nU+007F\nU+00B7 \u00B7\n"
            "U+00C5 \u00C5\nU+00E5 \u00E5\nU+0301 \u25CC\u0301\nU+0358 \u25CC\u0358\n");

  run = RunTool(tool + " type " + path + " shift+nokey");
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.output.find("unknown key 'nokey'"), std::string::npos) << run.output;
}

TEST_F(ToolsTest, KbdinspectFailsClearlyOnBadFiles) {
  const std::string tool = KBDINSPECT_PATH;
  auto built = testimage::BuildLayoutImage(testimage::SampleLayout());

  auto wide = built.bytes;
  wide[0x40 + 24] = 0x0B;
  wide[0x40 + 25] = 0x02;
  auto outside = built.bytes;
  const uint32_t table_field = testimage::FileOffset(built.descriptor_rva + 4);
  outside[table_field + 3] = 0x7F;

  const std::pair<std::string, std::string> cases[] = {
      {Write("text.dll", {'M', 'Z'}), "not a PE image"},
      {Write("wide.dll", wide),
       "not an i386 (PE32), AMD64 or ARM64 (PE32+) image (machine 0x14C, PE32+)"},
      {Write("outside.dll", outside), "pVkToWcharTable points outside the image"},
      {(dir_ / "missing.dll").string(), "cannot open"},
  };
  for (const auto& [path, message] : cases) {
    const ToolRun run = RunTool(tool + " check " + path);
    EXPECT_EQ(run.status, 1) << path;
    EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
  }
  EXPECT_EQ(RunTool(tool + " frobnicate").status, 2);
}

TEST_F(ToolsTest, KbdinspectWritesThePageOnlyWithFontsItCanRead) {
  const std::string tool = KBDINSPECT_PATH;
  const std::string module =
      Write("sample.dll", testimage::BuildLayoutImage(testimage::SampleLayout()).bytes);
  const std::string page = (dir_ / "page.html").string();

  ToolRun run = RunTool(tool + " html --font " + LDSER_TTF_PATH + " " + module + " " + page);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(pe::ReadFile(page)->size(), 0u);

  run = RunTool(tool + " html --font " + module + " " + module + " " + Write("other.html", {}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("not a TrueType or OpenType font"), std::string::npos) << run.output;
  EXPECT_EQ(pe::ReadFile((dir_ / "other.html").string())->size(), 0u) << "left as it was";
  EXPECT_EQ(RunTool(tool + " html --bold x " + module).status, 2);
  EXPECT_EQ(RunTool(tool + " html " + module + " a b").status, 2);
}

// The ARM64X module: check reads both views and compares them, and a table
// or an export that differs in the ARM64EC view alone fails it.
TEST_F(ToolsTest, KbdinspectChecksBothViewsOfAnArm64xImage) {
  const std::string tool = KBDINSPECT_PATH;
  auto file = pe::PeImage::Load(LDKEYS_ARM64X_PATH);
  ASSERT_TRUE(file) << file.error();
  auto ec = kbd::LoadLayout(LDKEYS_ARM64X_PATH, kbd::View::kArm64ec);
  ASSERT_TRUE(ec) << ec.error();

  ToolRun run = RunTool(tool + " check " + LDKEYS_ARM64X_PATH);
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* line : {"native ARM64 view", "ARM64EC view for x64 processes",
                           "the two views export the same accessor and hold the same tables"})
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;

  // One character of the ARM64EC view's tables, and its export's ordinal.
  auto table = file->bytes();
  const uint32_t rows = *ec->image.VaToRva(
      ec->image.U64(*ec->image.VaToRva(ec->layout.descriptor.pVkToWcharTable), "character table"));
  table.at(*file->RvaToOffset(rows + KbdWcharRowCells)) ^= 1;
  auto ordinal = file->bytes();
  const uint32_t exports = ec->image.headers().directory(pe::kDirExport).rva;
  ordinal.at(*file->RvaToOffset(exports + 16)) = 2;  // the ordinal base
  const std::pair<std::string, std::string> cases[] = {
      {Write("table.dll", table), "error: the two views differ in the character tables"},
      {Write("ordinal.dll", ordinal), "error: the two views differ in the exports"},
  };
  for (const auto& [path, message] : cases) {
    run = RunTool(tool + " check " + path);
    EXPECT_EQ(run.status, 1) << path;
    EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
  }

  // The reading commands take either view; only an ARM64X image has two.
  run = RunTool(tool + " type --ec " + LDKEYS_ARM64X_PATH + " a");
  EXPECT_NE(run.output.find("code points: U+0061\n"), std::string::npos) << run.output;
  run = RunTool(tool + " chars --ec " + std::string(LDKEYS_DLL_PATH));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("not an ARM64X image: it has no ARM64EC view"), std::string::npos)
      << run.output;
}

}  // namespace
