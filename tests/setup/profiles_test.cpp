// The removal of the package's entries from every user profile, on a
// stand-in machine with users signed in and not, a hive in use, a profile
// that is not on the machine, and two hostile users.
#include "profiles.h"
#include "uninstall.h"
#include "win32stub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace win32stub;

namespace {

using Strings = std::vector<std::string>;

constexpr char ProfileList[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr char ShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char Components[] = "Software\\Microsoft\\Active Setup\\Installed Components";
constexpr char Wow64Components[] =
    "Software\\Wow6432Node\\Microsoft\\Active Setup\\Installed Components";
constexpr char InputLists[] = "Control Panel\\International\\User Profile";
constexpr char StartMenu[] = "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
constexpr char OtherComponent[] = ">{22d6f312-b0f6-11d0-94ab-0080c74c7e95}";
constexpr char Klid[] = "00000628";
constexpr char MingFace[] = "\xB2\xD3\xA9\xFA\xC5\xE9";

std::string Join(const std::string& first, const std::string& second) {
  return first.empty() ? second : first + "\\" + second;
}

std::string Dword(char value) { return std::string{value, 0, 0, 0}; }

enum class Reach { kSignedIn, kHiveFile, kInUse, kNotHere };

struct Profile {
  const char* sid;
  const char* folder;  // as ProfileList holds it
  Reach reach;
  const char* programs = nullptr;  // the hive's Programs folder, when not the profile's own
  const char* link = nullptr;      // a folder on the way there that is a link
  bool otherMakerProduct = false;
};

// Sorted as the enumeration hands them out: dan's missing profile and cal's
// hive in use come before the users after them.
const Profile kProfiles[] = {
    {"S-1-5-18", "%SystemRoot%\\system32\\config\\systemprofile", Reach::kSignedIn},
    {"S-1-5-21-7-7-7-1001", "%SystemDrive%\\Users\\ann", Reach::kSignedIn, nullptr, nullptr, true},
    {"S-1-5-21-7-7-7-1002", "%SystemDrive%\\Users\\ben", Reach::kHiveFile},
    {"S-1-5-21-7-7-7-1003", "C:\\Users\\cal", Reach::kInUse},
    {"S-1-5-21-7-7-7-1004", "C:\\Users\\dan", Reach::kNotHere},
    // Hostile: the common Programs folder, and one reached through a link.
    {"S-1-5-21-7-7-7-1005", "C:\\Users\\eve", Reach::kSignedIn,
     "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"},
    {"S-1-5-21-7-7-7-1006", "C:\\Users\\fay", Reach::kHiveFile,
     "C:\\Users\\fay\\Start Menu\\Programs", "C:\\Users\\fay\\Start Menu"},
};
const Profile& ann = kProfiles[1];
const Profile& ben = kProfiles[2];

class EveryProfile : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    PackagePaths = PackagePathsRecord{};
    lstrcpyA(PackagePaths.InstallFolder, "C:\\Program Files\\Krelmo\\Lindorian");
    for (const Profile& profile : kProfiles) Place(profile);
  }

  void TearDown() override {
    EXPECT_EQ(OpenKeyCount(), 0);
    EXPECT_EQ(OpenFindCount(), 0);
    EXPECT_EQ(OpenTokenCount(), 0);
  }

  static std::string Folder(const Profile& profile) {
    char folder[MAX_PATH];
    ExpandEnvironmentStringsA(profile.folder, folder, MAX_PATH);
    return folder;
  }
  static std::string Programs(const Profile& profile) {
    return profile.programs ? profile.programs : Folder(profile) + StartMenu;
  }
  static std::string HivePath(const Profile& profile) { return Folder(profile) + "\\NTUSER.DAT"; }

  static void Place(const Profile& profile) {
    SetValue(HKEY_LOCAL_MACHINE, Join(ProfileList, profile.sid), "ProfileImagePath", REG_EXPAND_SZ,
             std::string(profile.folder) + '\0');
    if (profile.reach == Reach::kNotHere) return;
    if (profile.link) {
      MakeFolder("C:\\Elsewhere");
      MakeFolderLink(profile.link, "C:\\Elsewhere");
    }
    MakeFile(Programs(profile) + "\\Lindorian\\Lindorian Chart.lnk");
    MakeFile(Programs(profile) + "\\Accessories\\Notepad.lnk");
    if (profile.reach == Reach::kSignedIn)
      Fill(HKEY_USERS, profile.sid, profile, true);
    else
      Fill(PlaceHive(HivePath(profile)), "", profile, true);
    if (profile.reach == Reach::kInUse) LockFile(HivePath(profile));
  }

  // A user's entries: other products' among the package's, as Setup, the
  // per-user step and Windows write them; with `package` false, what the
  // removal must leave.
  static void Fill(HKEY root, const std::string& base, const Profile& profile, bool package) {
    auto key = [&](const std::string& path) { return Join(base, path); };
    Strings preload{"00000409", "00010628", "00000407", "d0020409"};
    if (package) {
      preload.insert(preload.begin() + 1, Klid);
      preload.insert(preload.begin() + 3, "d0010409");  // the package under language 0409
    }
    for (std::size_t at = 0; at < preload.size(); ++at)
      SetString(root, key("Keyboard Layout\\Preload"), std::to_string(at + 1), preload[at]);
    SetString(root, key("Keyboard Layout\\Substitutes"), "d0020409", "00010628");
    SetValue(root, key(InputLists), "Languages", REG_MULTI_SZ, std::string("en-US\0fa-IR\0\0", 13));
    SetValue(root, key(Join(InputLists, "en-US")), "0409:00000409", REG_DWORD, Dword(1));
    SetValue(root, key(Join(InputLists, "en-US")), "0409:00010628", REG_DWORD, Dword(3));
    SetValue(root, key(Join(InputLists, "fa-IR")), "0429:00000429", REG_DWORD, Dword(1));
    SetString(root, key("EUDC\\950"), "SystemDefaultEUDCFont", "EUDC.TTE");
    SetString(root, key(ShellFolders), "Programs", Programs(profile));
    SetString(root, key(Join(Components, OtherComponent)), "Version", "1,0");
    CreateKey(root, key(Wow64Components));
    if (profile.otherMakerProduct) SetString(root, key("Software\\Krelmo\\Notes"), "Shown", "1");
    if (!package) return;
    SetString(root, key("Keyboard Layout\\Substitutes"), "d0010409", Klid);
    SetValue(root, key(Join(InputLists, "en-US")), "0409:00000628", REG_DWORD, Dword(2));
    SetValue(root, key(Join(InputLists, "fa-IR")), "0429:00000628", REG_DWORD, Dword(2));
    SetString(root, key("EUDC\\950"), MingFace, "C:\\Program Files\\Krelmo\\Lindorian\\ldeudb.tte");
    SetString(root, key("Software\\Krelmo\\Lindorian"), "InstalledLayoutOrTip", "0409:00000628");
    SetString(root, key(Join(Components, "Krelmo.Lindorian")), "Version", "2,10");
    SetString(root, key(Join(Wow64Components, "Krelmo.Lindorian")), "Version", "2,10");
  }

  // Every key and value below base, as "path" and "path|name=data" lines.
  static Strings Snapshot(HKEY root, const std::string& base, const std::string& path = "") {
    Strings lines;
    for (const std::string& name : ValueNames(root, Join(base, path)))
      lines.push_back(path + "|" + name + "=" + *ValueBytes(root, Join(base, path), name));
    for (const std::string& subkey : SubkeyNames(root, Join(base, path))) {
      lines.push_back(Join(path, subkey));
      for (const std::string& line : Snapshot(root, base, Join(path, subkey)))
        lines.push_back(line);
    }
    return lines;
  }

  static Strings Contents(const Profile& profile) {
    if (profile.reach == Reach::kSignedIn) return Snapshot(HKEY_USERS, profile.sid);
    return Snapshot(HiveFile(HivePath(profile)), "");
  }

  static Strings Expected(const Profile& profile, bool package) {
    HKEY expected = PlaceHive("C:\\Expected\\" + std::string(profile.sid));
    Fill(expected, "", profile, package);
    return Snapshot(expected, "");
  }

  // Hive loads as "load name file result", unloads as "unload name result".
  static Strings HiveCalls() {
    Strings calls;
    for (const Call& call : CallLog())
      if (call.function == "RegLoadKeyA")
        calls.push_back("load " + call.Text(1) + " " + call.Text(2) + " " +
                        std::to_string(call.result));
      else if (call.function == "RegUnLoadKeyA")
        calls.push_back("unload " + call.Text(1) + " " + std::to_string(call.result));
    return calls;
  }
};

TEST_F(EveryProfile, LeavesOnlyTheOtherEntriesInEveryHiveItReaches) {
  RemovePackageFromEveryProfile(Klid);
  for (const Profile& profile : kProfiles) {
    SCOPED_TRACE(profile.sid);
    if (profile.reach == Reach::kNotHere) continue;
    const bool reached = profile.reach != Reach::kInUse;
    EXPECT_EQ(Contents(profile), Expected(profile, !reached));
    EXPECT_EQ(Exists(Programs(profile) + "\\Lindorian\\Lindorian Chart.lnk"),
              !reached || profile.programs);
    EXPECT_TRUE(Exists(Programs(profile) + "\\Accessories\\Notepad.lnk"));
  }
  EXPECT_EQ(HiveCalls(),
            (Strings{"load Lindorian.Removal.S-1-5-21-7-7-7-1002 C:\\Users\\ben\\NTUSER.DAT 0",
                     "unload Lindorian.Removal.S-1-5-21-7-7-7-1002 0",
                     "load Lindorian.Removal.S-1-5-21-7-7-7-1003 C:\\Users\\cal\\NTUSER.DAT 32",
                     "load Lindorian.Removal.S-1-5-21-7-7-7-1004 C:\\Users\\dan\\NTUSER.DAT 2",
                     "load Lindorian.Removal.S-1-5-21-7-7-7-1006 C:\\Users\\fay\\NTUSER.DAT 0",
                     "unload Lindorian.Removal.S-1-5-21-7-7-7-1006 0"}));
  EXPECT_EQ(SubkeyNames(HKEY_USERS, ""),
            (Strings{"S-1-5-18", "S-1-5-21-7-7-7-1001", "S-1-5-21-7-7-7-1005"}));
  EXPECT_FALSE(PrivilegeEnabled("SeBackupPrivilege"));
  EXPECT_FALSE(PrivilegeEnabled("SeRestorePrivilege"));
}

// Windows leaves "<SID>.bak" keys for profiles it could not load; no other
// name is taken for a SID either. A name too long for one ends nothing.
TEST_F(EveryProfile, PassesOverKeysThatNameNoSid) {
  const std::string names[] = {"S-1-5-21-7-7-7-1001.bak",
                               "S-1-5-21-7-7-7-1001_Classes",
                               "S-1-5--21",
                               "S-1-5-21-",
                               "s-1-5-21-7",
                               "S-",
                               "S-1-5-21 ",
                               "S-1-" + std::string(200, '1')};
  for (const std::string& name : names) {
    SetValue(HKEY_LOCAL_MACHINE, Join(ProfileList, name), "ProfileImagePath", REG_SZ,
             std::string("C:\\Users\\ben\0", 13));
    SetString(HKEY_USERS, name + "\\Keyboard Layout\\Preload", "1", Klid);
  }
  RemovePackageFromEveryProfile(Klid);
  for (const std::string& name : names)
    EXPECT_EQ(StringValue(HKEY_USERS, name + "\\Keyboard Layout\\Preload", "1"), Klid) << name;
  EXPECT_EQ(CallsTo("RegLoadKeyA").size(), 4u) << "ben, cal, dan and fay only";
  EXPECT_EQ(Contents(ann), Expected(ann, false));
}

TEST_F(EveryProfile, LeavesTheLayoutsEntriesWithoutAKlid) {
  RemovePackageFromEveryProfile("");
  const std::string user = ann.sid;
  EXPECT_EQ(StringValue(HKEY_USERS, user + "\\Keyboard Layout\\Preload", "2"), Klid);
  EXPECT_EQ(StringValue(HKEY_USERS, user + "\\Keyboard Layout\\Substitutes", "d0010409"), Klid);
  EXPECT_TRUE(ValueBytes(HKEY_USERS, Join(user, Join(InputLists, "en-US")), "0409:00000628"));
  EXPECT_FALSE(KeyExists(HKEY_USERS, user + "\\Software\\Krelmo\\Lindorian"));
  EXPECT_FALSE(KeyExists(HKEY_USERS, Join(user, Join(Components, "Krelmo.Lindorian"))));
  EXPECT_FALSE(Exists(Programs(ann) + "\\Lindorian"));
}

TEST_F(EveryProfile, CleansOnlySignedInUsersWithoutThePrivileges) {
  LackPrivilege("SeRestorePrivilege");
  RemovePackageFromEveryProfile(Klid);
  EXPECT_EQ(Contents(ann), Expected(ann, false));
  EXPECT_EQ(Contents(ben), Expected(ben, true));
  EXPECT_TRUE(CallsTo("RegUnLoadKeyA").empty());
  EXPECT_FALSE(PrivilegeEnabled("SeBackupPrivilege")) << "set back as it was";
}

// A hive another program holds a moment is unloaded at a later try; one held
// for good is given up after a few, and the rest still done.
TEST_F(EveryProfile, TriesAgainToUnloadAHiveThatIsHeld) {
  FailHiveUnloads(2);
  RemovePackageFromEveryProfile(Klid);
  EXPECT_EQ(Contents(ben), Expected(ben, false));
  EXPECT_EQ(CallsTo("RegUnLoadKeyA").size(), 4u);
  EXPECT_EQ(CallsTo("Sleep").size(), 2u);

  ClearCallLog();
  FailHiveUnloads(1000);
  RemovePackageFromEveryProfile(Klid);
  EXPECT_EQ(CallsTo("RegUnLoadKeyA").size(), 10u) << "five tries for each of two hives";
  EXPECT_EQ(CallsTo("Sleep").size(), 8u);
}

TEST_F(EveryProfile, RemovesTheComponentAndNoOtherOne) {
  SetString(HKEY_LOCAL_MACHINE, Join(Components, "Krelmo.Lindorian"), "StubPath", "lduser.exe");
  SetString(HKEY_LOCAL_MACHINE, Join(Components, OtherComponent), "Version", "1,0");
  RemoveActiveSetupComponent();
  EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, Components), Strings{OtherComponent});
}

// The Programs folder a hive names, against the profile folder of its user.
TEST(ProgramGroup, GoesOnlyWhereItLiesInTheProfileFolder) {
  struct Case {
    const char* programs;
    bool removed;
    const char* profile = "C:\\Users\\ann";
    UINT codePage = 1252;
  };
  const Case cases[] = {
      {"C:\\Users\\ann\\Start Menu\\Programs", true},
      {"c:\\USERS\\Ann\\Start Menu\\Programs", true},
      {"C:\\Users\\ann", true},
      // In code page 950 a trail byte may be "\" or a letter; it is neither.
      {"C:\\Users\\ann\\\xA5\x5C\\Programs", true, "C:\\Users\\ann", 950},
      {"C:\\Users\\\xA4\x41\\Programs", false, "C:\\Users\\\xA4\x61", 950},
      {"C:\\Users\\ann2\\Programs", false},
      {"C:\\Users\\an", false},
      {"C:\\Users\\ann\\..\\bob\\Programs", false},
      {"C:\\Users\\ann\\x/../../bob", false},
      {"C:\\Users\\ann\\.. \\bob", false},
      {"C:\\Users\\ann\\.\\Programs", false},
      {"C:\\Users\\ann\\\\Programs", false},
      {"C:\\Users\\ann\\Programs\\", false},
      {"C:\\Users\\ann\\Programs:x", false},
      {"Users\\ann\\Programs", false},
      {"C:\\Users\\ann\\Programs", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.programs);
    Reset();
    SetAnsiCodePage(c.codePage);
    const std::string group = std::string(c.programs) + "\\Lindorian";
    MakeFile(group + "\\Lindorian Chart.lnk");
    SetString(HKEY_USERS, Join("S-1-5-21-7", ShellFolders), "Programs", c.programs);
    HKEY user;
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1-5-21-7", 0, KEY_READ, &user), ERROR_SUCCESS);
    RemovePackageFromProfile(user, c.profile, Klid);
    RegCloseKey(user);
    EXPECT_EQ(Exists(group), !c.removed);
    EXPECT_EQ(OpenKeyCount(), 0);
    EXPECT_EQ(OpenFindCount(), 0);
  }
}

}  // namespace
