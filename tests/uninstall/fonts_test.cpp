// Font and EUDC link removal on the stand-in machine.
#include "removal_fixture.h"

#include <filesystem>
#include <optional>

using namespace win32stub;

namespace {

class Fonts : public RemovalTest {
 protected:
  void SetUp() override {
    RemovalTest::SetUp();
    UseResolvedPaths();
    MakeFile("C:\\WINDOWS\\Fonts\\ldser.ttf");
    MakeFile("C:\\WINDOWS\\Fonts\\ldfix.ttf");
    SetString(HKEY_LOCAL_MACHINE, FontKey, "Lindorian Serif (TrueType)", "ldser.ttf");
    SetString(HKEY_LOCAL_MACHINE, FontKey, "Lindorian Fixed (TrueType)", "ldfix.ttf");
    SetString(HKEY_LOCAL_MACHINE, FontKey, "Arial (TrueType)", "arial.ttf");
  }

  // The calls that act on fonts, in order, as "Function argument".
  static std::vector<std::string> FontCalls() {
    std::vector<std::string> calls;
    for (const Call& call : CallLog()) {
      if (call.function == "SendMessageTimeoutA") {
        EXPECT_EQ(call.Number(0), Number(HWND_BROADCAST));
        EXPECT_EQ(call.Number(1), WM_FONTCHANGE);
        EXPECT_EQ(call.Number(2) | call.Number(3), 0);
        EXPECT_TRUE(call.Number(4) & SMTO_ABORTIFHUNG);
        EXPECT_GT(call.Number(5), 0);
        EXPECT_LE(call.Number(5), 5000);
        calls.push_back("broadcast");
      } else if (call.function == "MoveFileExA") {
        calls.push_back(call.function + " " + call.Text(0));
      } else if (call.function != "RegCloseKey") {
        calls.push_back(call.function + " " + call.Text(call.args.size() == 1 ? 0 : 1));
      }
    }
    return calls;
  }
};

// Each action runs whatever the one before returned: a font the system does
// not have loaded is still announced and its file still deleted. A file
// still in use goes at the restart; a missing one is not scheduled.
TEST_F(Fonts, RemovesEachFontFromTheSystemThenItsFileThenTheRegistrations) {
  std::filesystem::remove(HostPath("C:\\WINDOWS\\Fonts\\ldser.ttf"));  // not loaded, not there
  LockFile("C:\\WINDOWS\\Fonts\\ldfix.ttf");
  EXPECT_EQ(RemoveFonts(), 1);
  EXPECT_EQ(FontCalls(),
            (std::vector<std::string>{"RemoveFontResourceA C:\\WINDOWS\\Fonts\\ldser.ttf",
                                      "broadcast", "DeleteFileA C:\\WINDOWS\\Fonts\\ldser.ttf",
                                      "RemoveFontResourceA C:\\WINDOWS\\Fonts\\ldfix.ttf",
                                      "broadcast", "DeleteFileA C:\\WINDOWS\\Fonts\\ldfix.ttf",
                                      "MoveFileExA C:\\WINDOWS\\Fonts\\ldfix.ttf",
                                      "RegDeleteValueA Lindorian Serif (TrueType)",
                                      "RegDeleteValueA Lindorian Fixed (TrueType)"}));
  EXPECT_EQ(ValueNames(HKEY_LOCAL_MACHINE, FontKey), std::vector<std::string>{"Arial (TrueType)"});
  EXPECT_TRUE(Exists("C:\\WINDOWS\\Fonts\\ldfix.ttf"));  // in use: stays until the restart
}

TEST_F(Fonts, RemovesTheFilesWhenTheRegistrationsCannotBeChanged) {
  DenyAccess(HKEY_LOCAL_MACHINE, FontKey, KEY_SET_VALUE);
  EXPECT_EQ(RemoveFonts(), 1);
  EXPECT_EQ(CallsTo("RemoveFontResourceA").size(), 2u);
  EXPECT_FALSE(Exists("C:\\WINDOWS\\Fonts\\ldser.ttf"));
  EXPECT_FALSE(Exists("C:\\WINDOWS\\Fonts\\ldfix.ttf"));
  EXPECT_EQ(ValueNames(HKEY_LOCAL_MACHINE, FontKey).size(), 3u);
}

// Without a Fonts folder the files cannot be named, but the registrations
// are still removed by name.
TEST_F(Fonts, TouchesNoFileWithoutAFontsFolder) {
  PackagePaths.FontsFolder[0] = 0;
  MakeFile("C:\\ldser.ttf");
  RemoveFonts();
  EXPECT_EQ(FontCalls(), (std::vector<std::string>{"RegDeleteValueA Lindorian Serif (TrueType)",
                                                   "RegDeleteValueA Lindorian Fixed (TrueType)"}));
  EXPECT_TRUE(Exists("C:\\ldser.ttf"));
}

TEST_F(Fonts, SkipsFontPathsOverTheLengthLimit) {
  std::string atLimit = PathOfLength(259 - 10);  // + "\ldser.ttf"
  Set(PackagePaths.FontsFolder, atLimit);
  RemoveFonts();
  EXPECT_EQ(CallsTo("DeleteFileA").size(), 2u);
  EXPECT_EQ(CallsTo("DeleteFileA")[0].Text(0), atLimit + "\\ldser.ttf");

  ClearCallLog();
  Set(PackagePaths.FontsFolder, atLimit + "x");
  RemoveFonts();
  EXPECT_TRUE(CallsTo("RemoveFontResourceA").empty());
  EXPECT_TRUE(CallsTo("SendMessageTimeoutA").empty());
  EXPECT_TRUE(CallsTo("DeleteFileA").empty());
}

class EudcLinks : public RemovalTest {
 protected:
  void SetUp() override {
    RemovalTest::SetUp();
    UseResolvedPaths();
  }
  static std::optional<std::string> Link(const char* face) {
    return StringValue(HKEY_CURRENT_USER, EudcKey, face);
  }
};

// Only links to the package's own files go, whatever the letter case of the
// stored path; a link to another product's file stays.
TEST_F(EudcLinks, RemovesOnlyLinksToThePackageFiles) {
  SetString(HKEY_CURRENT_USER, EudcKey, Ming, "C:\\Program Files\\Krelmo\\Lindorian\\ldeudb.tte");
  SetString(HKEY_CURRENT_USER, EudcKey, NewMing,
            "c:\\PROGRAM FILES\\krelmo\\lindorian\\LDEUDB.TTE");
  SetString(HKEY_CURRENT_USER, EudcKey, Kai, "C:\\Other\\kai.tte");
  SetString(HKEY_CURRENT_USER, EudcKey, "SystemDefaultEUDCFont", "C:\\WINDOWS\\Fonts\\EUDC.TTE");
  EXPECT_EQ(RemoveEudcLinks(), 1);
  EXPECT_FALSE(Link(Ming));
  EXPECT_FALSE(Link(NewMing));
  EXPECT_EQ(Link(Kai), "C:\\Other\\kai.tte");
  EXPECT_TRUE(Link("SystemDefaultEUDCFont"));

  SetString(HKEY_CURRENT_USER, EudcKey, Kai, "C:\\Program Files\\Krelmo\\Lindorian\\ldeuda.tte");
  RemoveEudcLinks();
  EXPECT_FALSE(Link(Kai));
}

// On a Program Files value that ends in a separator, the install folder has
// a doubled one, and so have the links written with it: those go. A link
// spelt with a single separator is another path and stays.
TEST_F(EudcLinks, ComparesLinksWithTheInstallPathAsFormed) {
  Set(PackagePaths.InstallFolder, "C:\\Program Files\\\\Krelmo\\Lindorian");
  SetString(HKEY_CURRENT_USER, EudcKey, Ming, "C:\\Program Files\\\\Krelmo\\Lindorian\\ldeudb.tte");
  SetString(HKEY_CURRENT_USER, EudcKey, Kai, "C:\\Program Files\\Krelmo\\Lindorian\\ldeuda.tte");
  RemoveEudcLinks();
  EXPECT_FALSE(Link(Ming));
  EXPECT_EQ(Link(Kai), "C:\\Program Files\\Krelmo\\Lindorian\\ldeuda.tte");
}

}  // namespace
