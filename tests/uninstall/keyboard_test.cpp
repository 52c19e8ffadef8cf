// Keyboard layout deregistration on the stand-in machine.
#include "removal_fixture.h"

#include <cstdio>

using namespace win32stub;

namespace {

class KeyboardLayout : public RemovalTest {
 protected:
  void SetUp() override {
    RemovalTest::SetUp();
    CreateKey(HKEY_LOCAL_MACHINE, Layouts);
    MakeFile(ModuleFile());
  }

  static std::string ModuleFile() { return SystemDirectory() + "\\ldkeys.dll"; }

  static void Register(const std::string& klid, const std::string& layoutFile) {
    SetString(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\" + klid, "layout file", layoutFile);
  }

  static bool Registered(const std::string& klid) {
    return KeyExists(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\" + klid);
  }

  static void SetPreload(const std::vector<std::string>& klids) {
    CreateKey(HKEY_CURRENT_USER, Preload);
    for (std::size_t i = 0; i < klids.size(); ++i)
      SetString(HKEY_CURRENT_USER, Preload, std::to_string(i + 1), klids[i]);
  }

  // `count` distinct layouts of language 0409, as a long preload list holds them.
  static std::vector<std::string> OtherLayouts(int count) {
    std::vector<std::string> klids;
    for (int i = 1; i <= count; ++i) {
      char klid[16];
      std::snprintf(klid, sizeof klid, "%04X0409", i);
      klids.push_back(klid);
    }
    return klids;
  }

  // The preload list as the system reads it, and how many values the key holds.
  static std::vector<std::string> PreloadList() {
    std::vector<std::string> list;
    while (auto klid = StringValue(HKEY_CURRENT_USER, Preload, std::to_string(list.size() + 1)))
      list.push_back(*klid);
    EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, Preload).size(), list.size()) << "gap in the list";
    return list;
  }

  static std::vector<std::string> LoadedLayouts() {
    std::vector<std::string> loaded;
    for (const Call& call : CallsTo("LoadKeyboardLayoutA")) {
      EXPECT_EQ(call.Number(1), KLF_REPLACELANG);
      loaded.push_back(call.Text(0));
    }
    return loaded;
  }

  // Runs a preload routine on the user's list as RemoveKeyboardLayout would.
  template <typename Routine>
  static int OnPreload(Routine routine, const char* klid) {
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Preload, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    int result = routine(key, klid);
    RegCloseKey(key);
    return result;
  }
};

using Strings = std::vector<std::string>;

TEST_F(KeyboardLayout, FindsTheRegistrationByModuleNameInAnyCase) {
  Register("00000628", "other.dll");
  Register("00010628", "LDKEYS.DLL");
  SetPreload({"00000409", "00010628"});
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_TRUE(Registered("00000628"));
  EXPECT_FALSE(Registered("00010628"));
  EXPECT_EQ(PreloadList(), Strings{"00000409"});
  EXPECT_FALSE(Exists(ModuleFile()));
}

// The KLID is written in upper-case hex, as the system writes it: the
// registry finds a key in any case, the preload list only in its own.
TEST_F(KeyboardLayout, WritesTheVariantNumberInUpperCase) {
  for (int variant = 0; variant <= 9; ++variant)
    Register("000" + std::to_string(variant) + "0628", "other.dll");
  Register("000A0628", "ldkeys.dll");
  SetPreload({"00000409", "000A0628"});
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_FALSE(Registered("000A0628"));
  EXPECT_EQ(PreloadList(), Strings{"00000409"});
  EXPECT_TRUE(LoadedLayouts().empty());
}

// A registration whose module name is missing, or too long for the short
// file name a layout has, is not the package's; the search goes on past it.
TEST_F(KeyboardLayout, SearchesPastMissingAndOverlongModuleNames) {
  CreateKey(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\00000628");
  Register("00010628", "ldkeys-extra.dll");  // 16 characters
  SetValue(HKEY_LOCAL_MACHINE, std::string(Layouts) + "\\00020628", "layout file", REG_SZ,
           std::string("ldkeys.dll") + std::string(7, '\0'));  // 17 bytes
  Register("00030628", "ldkeys.dll");
  SetPreload({});
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_TRUE(Registered("00000628"));
  EXPECT_TRUE(Registered("00010628"));
  EXPECT_TRUE(Registered("00020628"));
  EXPECT_FALSE(Registered("00030628"));
}

// The search stops at the first missing variant number; the module file goes anyway.
TEST_F(KeyboardLayout, StopsAtTheFirstMissingVariant) {
  Register("00010628", "ldkeys.dll");
  SetPreload({"00010628"});
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_TRUE(Registered("00010628"));
  EXPECT_EQ(PreloadList(), Strings{"00010628"});
  EXPECT_FALSE(Exists(ModuleFile()));
}

TEST_F(KeyboardLayout, ClosesTheGapAndLoadsAReplacementOfTheSameLanguage) {
  Register("00000628", "ldkeys.dll");
  SetPreload({"00000409", "00000628", "00000404"});
  RemoveKeyboardLayout();
  EXPECT_EQ(PreloadList(), (Strings{"00000409", "00000404"}));
  EXPECT_TRUE(LoadedLayouts().empty());

  Register("00000628", "ldkeys.dll");
  SetPreload({"00000628", "00010628"});
  ClearCallLog();
  RemoveKeyboardLayout();
  EXPECT_EQ(PreloadList(), Strings{"00010628"});
  EXPECT_EQ(LoadedLayouts(), Strings{"00010628"});
}

// The preload match is exact; the replacement scan matches by language half only.
TEST_F(KeyboardLayout, MatchesPreloadEntriesByCase) {
  SetPreload({"000a0628"});
  EXPECT_EQ(OnPreload(RemovePreloadEntry, "000A0628"), 1);
  EXPECT_EQ(PreloadList(), Strings{"000a0628"});
  EXPECT_EQ(OnPreload(ActivateReplacementLayout, "000A0628"), 1);
  EXPECT_EQ(LoadedLayouts(), Strings{"000a0628"});
}

// Only a full eight-character value has a language half: "409" stored with
// "0628" after its terminator is not a layout of the package's language.
TEST_F(KeyboardLayout, ComparesTheLanguageHalfOfFullValuesOnly) {
  CreateKey(HKEY_CURRENT_USER, Preload);
  SetValue(HKEY_CURRENT_USER, Preload, "1", REG_SZ,
           std::string("409\0"
                       "0628",
                       8));
  SetString(HKEY_CURRENT_USER, Preload, "2", "0628");
  SetString(HKEY_CURRENT_USER, Preload, "3", "00020628");
  EXPECT_EQ(OnPreload(ActivateReplacementLayout, "00000628"), 1);
  EXPECT_EQ(LoadedLayouts(), Strings{"00020628"});
}

// All four characters of the language half count, the first of them too.
TEST_F(KeyboardLayout, ComparesTheWholeLanguageHalf) {
  SetPreload({"00001628", "00010628"});
  EXPECT_EQ(OnPreload(ActivateReplacementLayout, "00000628"), 1);
  EXPECT_EQ(LoadedLayouts(), Strings{"00010628"});
}

// A preload value filling all nine bytes without a terminator ends the list.
TEST_F(KeyboardLayout, TreatsAnUnterminatedPreloadValueAsTheEnd) {
  SetPreload({"00000409", "", "00000628"});
  SetValue(HKEY_CURRENT_USER, Preload, "2", REG_SZ, "000006280");
  EXPECT_EQ(OnPreload(RemovePreloadEntry, "00000628"), 1);
  EXPECT_EQ(OnPreload(ActivateReplacementLayout, "00000628"), 1);
  EXPECT_EQ(StringValue(HKEY_CURRENT_USER, Preload, "3"), "00000628");
  EXPECT_TRUE(LoadedLayouts().empty());
}

// Names 1 to 999 are searched; the gap is closed to the end of the list,
// however long, so no entry is lost or doubled.
TEST_F(KeyboardLayout, ShiftsPastName999) {
  Strings list = OtherLayouts(1002);
  list[997] = "00000628";  // name 998
  SetPreload(list);
  EXPECT_EQ(OnPreload(RemovePreloadEntry, "00000628"), 1);
  Strings expected = list;
  expected.erase(expected.begin() + 997);
  EXPECT_EQ(PreloadList(), expected);

  expected[999] = "00000628";  // name 1000: beyond the search
  SetPreload(expected);
  EXPECT_EQ(OnPreload(RemovePreloadEntry, "00000628"), 0);
  EXPECT_EQ(PreloadList(), expected);
}

// Name 999 itself is searched, for the package's entry and for a replacement.
TEST_F(KeyboardLayout, SearchesName999) {
  Strings list = OtherLayouts(999);
  list[998] = "00000628";
  SetPreload(list);
  EXPECT_EQ(OnPreload(RemovePreloadEntry, "00000628"), 1);
  EXPECT_EQ(PreloadList(), Strings(list.begin(), list.end() - 1));

  list[998] = "00010628";
  SetPreload(list);
  EXPECT_EQ(OnPreload(ActivateReplacementLayout, "00000628"), 1);
  EXPECT_EQ(LoadedLayouts(), Strings{"00010628"});
}

// Every way out of the step closes what it opened (checked on tear-down).
TEST_F(KeyboardLayout, LeavesEverythingWhenAKeyCannotBeOpened) {
  Register("00000628", "ldkeys.dll");
  SetPreload({"00000628"});
  DenyAccess(HKEY_CURRENT_USER, Preload, KEY_SET_VALUE);
  EXPECT_EQ(RemoveKeyboardLayout(), 0);
  EXPECT_TRUE(Registered("00000628"));
  EXPECT_EQ(PreloadList(), Strings{"00000628"});
  EXPECT_TRUE(Exists(ModuleFile()));

  DenyAccess(HKEY_LOCAL_MACHINE, Layouts, KEY_SET_VALUE);
  EXPECT_EQ(RemoveKeyboardLayout(), 0);
  EXPECT_TRUE(Exists(ModuleFile()));
}

// The calls with an effect on the drive, or on what it shows the program.
std::vector<std::string> ModuleFileCalls() {
  std::vector<std::string> calls;
  for (const Call& call : CallLog()) {
    if (call.function == "DeleteFileA" || call.function == "MoveFileExA")
      calls.push_back(call.function + " " + call.Text(0));
    else if (call.function.rfind("Wow64", 0) == 0)
      calls.push_back(call.function);
  }
  return calls;
}

// On 32-bit Windows, with or without IsWow64Process, the module goes from
// the system folder with the one deletion the uninstaller always made.
TEST_F(KeyboardLayout, On32BitWindowsDeletesTheModuleFromTheSystemFolderOnly) {
  for (Platform platform : {Platform::kNative32, Platform::kNoIsWow64Process}) {
    SetPlatform(platform);
    MakeFile(ModuleFile());
    ClearCallLog();
    EXPECT_EQ(RemoveKeyboardLayout(), 1);
    EXPECT_FALSE(Exists(ModuleFile()));
    EXPECT_EQ(ModuleFileCalls(), Strings{"DeleteFileA C:\\WINDOWS\\system32\\ldkeys.dll"});
  }
}

// On 64-bit Windows the system folder holds the module of the system's own
// architecture and SysWOW64 the one for 32-bit programs: both go, the first
// with redirection turned off for that one deletion.
TEST_F(KeyboardLayout, OnWow64DeletesTheModuleFromTheNativeSystemFolderAndSysWow64) {
  SetPlatform(Platform::kWow64);
  const std::string wow64Module = SystemWow64Directory() + "\\ldkeys.dll";
  MakeFile(wow64Module);
  Register("00000628", "ldkeys.dll");
  SetPreload({"00000409", "00000628"});
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_FALSE(Exists(ModuleFile()));
  EXPECT_FALSE(Exists(wow64Module));
  EXPECT_FALSE(Registered("00000628"));
  EXPECT_EQ(PreloadList(), Strings{"00000409"});
  EXPECT_EQ(
      ModuleFileCalls(),
      (Strings{"Wow64DisableWow64FsRedirection", "DeleteFileA C:\\WINDOWS\\system32\\ldkeys.dll",
               "Wow64RevertWow64FsRedirection", "DeleteFileA C:\\WINDOWS\\SysWOW64\\ldkeys.dll"}));
}

// A loaded module cannot be deleted: each goes at the restart, named by its
// own folder. Windows works through that list without redirection, so the
// native module is scheduled as the system folder's with redirection off,
// and the WOW64 one as SysWOW64's; neither name may stand for the other.
TEST_F(KeyboardLayout, LeavesEachModuleInUseToTheRestartByItsOwnFolder) {
  LockFile(ModuleFile());
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_EQ(DeletedAtRestart(), Strings{"C:\\WINDOWS\\system32\\ldkeys.dll"});

  Reset();
  SetPlatform(Platform::kWow64);
  const std::string wow64Module = SystemWow64Directory() + "\\ldkeys.dll";
  CreateKey(HKEY_LOCAL_MACHINE, Layouts);
  MakeFile(ModuleFile());
  MakeFile(wow64Module);
  LockFile(ModuleFile());
  LockFile(wow64Module);
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_EQ(
      ModuleFileCalls(),
      (Strings{"Wow64DisableWow64FsRedirection", "DeleteFileA C:\\WINDOWS\\system32\\ldkeys.dll",
               "MoveFileExA C:\\WINDOWS\\system32\\ldkeys.dll", "Wow64RevertWow64FsRedirection",
               "DeleteFileA C:\\WINDOWS\\SysWOW64\\ldkeys.dll",
               "MoveFileExA C:\\WINDOWS\\SysWOW64\\ldkeys.dll"}));
  EXPECT_EQ(DeletedAtRestart().size(), 2u);
}

// Where redirection cannot be turned off, a deletion in the system folder
// would reach SysWOW64 instead: only SysWOW64's module goes.
TEST_F(KeyboardLayout, OnWow64LeavesTheNativeModuleWhenRedirectionStaysOn) {
  SetPlatform(Platform::kWow64);
  FailRedirectionControl();
  const std::string wow64Module = SystemWow64Directory() + "\\ldkeys.dll";
  MakeFile(wow64Module);
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_TRUE(Exists(ModuleFile()));
  EXPECT_FALSE(Exists(wow64Module));
  EXPECT_EQ(ModuleFileCalls(), (Strings{"Wow64DisableWow64FsRedirection",
                                        "DeleteFileA C:\\WINDOWS\\SysWOW64\\ldkeys.dll"}));
}

TEST_F(KeyboardLayout, DeletesNoModuleFileWithoutTheSystemFolder) {
  FailSystemDirectory();
  EXPECT_EQ(RemoveKeyboardLayout(), 1);
  EXPECT_TRUE(CallsTo("DeleteFileA").empty());
}

// Variant numbers have four hex digits: a full run of them ends the search
// before a fifth digit would overrun the identifier.
TEST_F(KeyboardLayout, EndsTheSearchAfterTheLastVariantNumber) {
  for (int variant = 0; variant <= 0xFFFF; ++variant) {
    char klid[16];
    std::snprintf(klid, sizeof klid, "%04X0628", variant);
    Register(klid, "other.dll");
  }
  HKEY layouts;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Layouts, 0, KEY_QUERY_VALUE, &layouts),
            ERROR_SUCCESS);
  char klid[9];
  EXPECT_EQ(FindLayoutKey(layouts, klid, "ldkeys.dll"), 0);
  RegCloseKey(layouts);
}

}  // namespace
