// Checks on the built dist/uninstall.exe: the image format, what it imports,
// and the picture and icon it carries.
#include "pe/pe_image.h"
#include "pe/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

using pe::Lower;

constexpr uint16_t RtIcon = 3, RtBitmap = 2, RtGroupIcon = 14, RtManifest = 24;
constexpr uint16_t TraditionalChinese = 1028;

const pe::PeImage& Image() {
  static const auto image = pe::PeImage::Load(UNINSTALL_EXE);
  if (!image) throw std::runtime_error("cannot read " UNINSTALL_EXE ": " + image.error());
  return *image;
}

uint32_t U32(const std::vector<uint8_t>& data, size_t at) {
  return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t{data[at + 3]} << 24;
}
uint16_t U16(const std::vector<uint8_t>& data, size_t at) {
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

const pe::Resource* FindResource(const std::vector<pe::Resource>& all, uint16_t type,
                                 const std::string& name) {
  for (const pe::Resource& r : all)
    if (!r.type.named && r.type.id == type && r.name.named && Lower(r.name.name) == Lower(name))
      return &r;
  return nullptr;
}

const pe::Resource* FindResource(const std::vector<pe::Resource>& all, uint16_t type, uint16_t id) {
  for (const pe::Resource& r : all)
    if (!r.type.named && r.type.id == type && !r.name.named && r.name.id == id) return &r;
  return nullptr;
}

TEST(UninstallImage, IsA32BitWindowsGuiProgram) {
  const pe::Headers& h = Image().headers();
  EXPECT_EQ(h.machine, pe::kMachineI386);
  EXPECT_EQ(h.magic, pe::kMagicPe32);
  EXPECT_EQ(h.subsystem, 2) << "Windows GUI";
  EXPECT_TRUE(h.characteristics & pe::kFileExecutable);
  EXPECT_FALSE(h.characteristics & pe::kFileDll);
  EXPECT_NE(h.entry_point, 0u);
  EXPECT_EQ(h.directory(pe::kDirTls).size, 0u) << "no runtime start-up machinery";
}

TEST(UninstallImage, ImportsOnlyTheSystemLibraries) {
  auto imports = Image().Imports();
  ASSERT_TRUE(imports) << imports.error();
  const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll",
                                         "shfolder.dll"};
  std::set<std::string> seen;
  for (const pe::ImportedDll& dll : *imports) {
    EXPECT_TRUE(allowed.count(Lower(dll.name))) << "imports from " << dll.name;
    seen.insert(Lower(dll.name));
  }
  // Every library is really used: the window, the drawing, the registry,
  // the files and the application-data folder query.
  EXPECT_EQ(seen, allowed);
  auto has = [&](const std::string& dll, const std::string& function) {
    for (const pe::ImportedDll& d : *imports)
      if (Lower(d.name) == dll)
        return std::find(d.functions.begin(), d.functions.end(), function) != d.functions.end();
    return false;
  };
  EXPECT_TRUE(has("kernel32.dll", "ExitProcess"));
  EXPECT_TRUE(has("kernel32.dll", "GetStartupInfoA"));
  EXPECT_TRUE(has("user32.dll", "MessageBoxA"));
  EXPECT_TRUE(has("shfolder.dll", "SHGetFolderPathA"));
}

TEST(UninstallImage, CarriesTheBackgroundPicture) {
  auto resources = Image().Resources();
  ASSERT_TRUE(resources) << resources.error();
  const pe::Resource* bitmap = FindResource(*resources, RtBitmap, "BKGND");
  ASSERT_NE(bitmap, nullptr);
  EXPECT_EQ(bitmap->language, TraditionalChinese);
  const auto& d = bitmap->data;
  ASSERT_GE(d.size(), 40u);
  EXPECT_EQ(U32(d, 0), 40u) << "BITMAPINFOHEADER";
  EXPECT_EQ(U32(d, 4), 640u);
  EXPECT_EQ(U32(d, 8), 480u);
  EXPECT_EQ(U16(d, 12), 1);
  EXPECT_EQ(U16(d, 14), 8) << "bits per pixel";
  EXPECT_EQ(U32(d, 16), 0u) << "uncompressed";
  uint32_t colours = U32(d, 32) ? U32(d, 32) : 256;
  EXPECT_EQ(colours, 256u);
  EXPECT_EQ(d.size(), 40u + 4 * 256 + 640 * 480);
  // The picture is nearly all of the program.
  EXPECT_LT(Image().bytes().size(), d.size() + 32 * 1024);
}

TEST(UninstallImage, CarriesTheWasteBinIconGroup) {
  auto resources = Image().Resources();
  ASSERT_TRUE(resources) << resources.error();
  const pe::Resource* group = FindResource(*resources, RtGroupIcon, "WASTE");
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->language, TraditionalChinese);
  const auto& g = group->data;
  ASSERT_GE(g.size(), 6u);
  EXPECT_EQ(U16(g, 2), 1) << "an icon group";
  ASSERT_EQ(U16(g, 4), 2) << "two images";
  ASSERT_EQ(g.size(), 6u + 2 * 14);
  const unsigned sizes[] = {32, 16};
  for (unsigned i = 0; i < 2; ++i) {
    SCOPED_TRACE(sizes[i]);
    size_t entry = 6 + 14 * i;
    EXPECT_EQ(g[entry], sizes[i]);
    EXPECT_EQ(g[entry + 1], sizes[i]);
    EXPECT_EQ(g[entry + 2], 16) << "colour count";
    EXPECT_EQ(U16(g, entry + 6), 4) << "bits per pixel";
    const pe::Resource* icon = FindResource(*resources, RtIcon, U16(g, entry + 12));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->language, TraditionalChinese);
    const auto& d = icon->data;
    ASSERT_GE(d.size(), 40u + 64);
    EXPECT_EQ(U32(d, 4), sizes[i]);
    EXPECT_EQ(U32(d, 8), 2 * sizes[i]) << "colour image and mask";
    EXPECT_EQ(U16(d, 14), 4);
    size_t row = (sizes[i] * 4 + 31) / 32 * 4, maskRow = (sizes[i] + 31) / 32 * 4;
    EXPECT_EQ(d.size(), 40 + 16 * 4 + sizes[i] * (row + maskRow));
    EXPECT_EQ(U32(d, 20) ? U32(d, 20) : d.size() - 40 - 64, d.size() - 40 - 64);
  }
}

// Windows reads a program's manifest from resource 24/1 before starting it;
// User Account Control then asks for administrator rights up front instead
// of letting the removal fail step by step.
TEST(UninstallImage, AsksForAdministratorRightsInItsManifest) {
  auto resources = Image().Resources();
  ASSERT_TRUE(resources) << resources.error();
  EXPECT_EQ(std::count_if(resources->begin(), resources->end(),
                          [](const pe::Resource& r) { return r.type.id == RtManifest; }),
            1);
  const pe::Resource* manifest = FindResource(*resources, RtManifest, 1);
  ASSERT_NE(manifest, nullptr);
  EXPECT_EQ(manifest->language, 0) << "language-neutral";
  const std::string text(manifest->data.begin(), manifest->data.end());
  const auto trustInfo = text.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">");
  const auto level =
      text.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>");
  ASSERT_NE(trustInfo, std::string::npos) << text;
  ASSERT_NE(level, std::string::npos) << text;
  EXPECT_LT(trustInfo, level);
  EXPECT_LT(level, text.find("</trustInfo>"));
}

}  // namespace
