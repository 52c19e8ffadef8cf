// Office add-in removal on the stand-in machine.
#include "removal_fixture.h"

using namespace win32stub;

namespace {

const char OfficeFolder[] = "C:\\Program Files\\Microsoft Office\\OFFICE11\\";

class OfficeAddins : public RemovalTest {
 protected:
  static std::string UserWordTemplate() {
    return AppDataFolder() + "\\Microsoft\\Word\\Startup\\Lindorian11.dot";
  }
  static std::string UserExcelAddin() {
    return AppDataFolder() + "\\Microsoft\\Excel\\Xlstart\\Lindorian11.xla";
  }
  static std::string MachineExcelAddin() {
    return std::string(OfficeFolder) + "XLStart\\Lindorian11.xla";
  }
  static std::vector<std::string> Deleted() {
    std::vector<std::string> paths;
    for (const Call& call : CallsTo("DeleteFileA")) paths.push_back(call.Text(0));
    return paths;
  }
};

using Paths = std::vector<std::string>;

// Word's own start-up path is a prefix used as it is: with its trailing
// separator it names the folder, without it the name runs on.
TEST_F(OfficeAddins, WordUsesItsStartupPathAsAPrefix) {
  MakeFile(UserWordTemplate());
  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", "C:\\Word Startup\\");
  RemoveWordTemplate();
  EXPECT_EQ(Deleted(), Paths{"C:\\Word Startup\\Lindorian11.dot"});

  ClearCallLog();
  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", "C:\\Word Startup");
  RemoveWordTemplate();
  EXPECT_EQ(Deleted(), Paths{"C:\\Word StartupLindorian11.dot"});
  EXPECT_TRUE(Exists(UserWordTemplate()));
}

// Without a usable start-up path Word's per-user folder is used; a value
// with no room for its terminator counts as no value.
TEST_F(OfficeAddins, WordFallsBackToTheUserStartupFolder) {
  CreateKey(HKEY_CURRENT_USER, WordOptions);
  RemoveWordTemplate();
  EXPECT_EQ(Deleted(), Paths{UserWordTemplate()});

  ClearCallLog();
  SetValue(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", REG_SZ, std::string(260, 's'));
  RemoveWordTemplate();
  EXPECT_EQ(Deleted(), Paths{UserWordTemplate()});

  ClearCallLog();
  FailAppDataFolder();
  RemoveWordTemplate();
  EXPECT_TRUE(Deleted().empty());
}

// A start-up path that would make the file's path too long, or an empty one
// that would name a file in the current folder, deletes nothing.
TEST_F(OfficeAddins, WordSkipsUnusableStartupPaths) {
  std::string fits = PathOfLength(243) + "\\";     // with "Lindorian11.dot": 259 characters
  std::string tooLong = PathOfLength(244) + "\\";  // 260
  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", fits);
  RemoveWordTemplate();
  EXPECT_EQ(Deleted(), Paths{fits + "Lindorian11.dot"});

  ClearCallLog();
  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", tooLong);
  RemoveWordTemplate();
  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", "");
  MakeFile("C:\\Lindorian11.dot");
  RemoveWordTemplate();
  EXPECT_TRUE(Deleted().empty());
  EXPECT_TRUE(Exists("C:\\Lindorian11.dot"));
}

// Excel prefers the per-user folder and then does not look at "Path".
TEST_F(OfficeAddins, ExcelPrefersTheUserStartupFolder) {
  SetString(HKEY_LOCAL_MACHINE, ExcelRoot, "Path", OfficeFolder);
  MakeFile(MachineExcelAddin());
  RemoveExcelAddin();
  EXPECT_EQ(Deleted(), Paths{UserExcelAddin()});
  EXPECT_TRUE(Exists(MachineExcelAddin()));

  ClearCallLog();
  FailAppDataFolder();
  RemoveExcelAddin();
  EXPECT_EQ(Deleted(), Paths{MachineExcelAddin()});
  EXPECT_FALSE(Exists(MachineExcelAddin()));

  // Neither folder known: nothing to delete, and the key is still closed.
  Reset();
  CreateKey(HKEY_LOCAL_MACHINE, ExcelRoot);
  FailAppDataFolder();
  RemoveExcelAddin();
  EXPECT_TRUE(Deleted().empty());
}

// Only Office 2003 keys that open for full access lead to a deletion.
TEST_F(OfficeAddins, DeletesNothingWithoutWritableOffice2003Keys) {
  SetString(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\12.0\\Word\\Options", "STARTUP-PATH",
            "C:\\Word Startup\\");
  SetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Office\\12.0\\Excel\\InstallRoot", "Path",
            OfficeFolder);
  RemoveWordTemplate();
  RemoveExcelAddin();

  SetString(HKEY_CURRENT_USER, WordOptions, "STARTUP-PATH", "C:\\Word Startup\\");
  SetString(HKEY_LOCAL_MACHINE, ExcelRoot, "Path", OfficeFolder);
  DenyAccess(HKEY_CURRENT_USER, WordOptions, KEY_SET_VALUE);
  DenyAccess(HKEY_LOCAL_MACHINE, ExcelRoot, KEY_SET_VALUE);
  RemoveWordTemplate();
  RemoveExcelAddin();
  EXPECT_TRUE(Deleted().empty());
}

}  // namespace
