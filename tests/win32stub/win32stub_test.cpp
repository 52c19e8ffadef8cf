// The stand-in's own behaviour where the uninstaller's tests depend on it
// matching Windows: registry sizes and rights, enumeration entries and
// attributes, deletion rules, and the text routines.
#include "win32stub.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override { win32stub::Reset(); }
};

TEST_F(StandIn, RegistryReadsRespectTheGivenSize) {
  win32stub::SetString(HKEY_CURRENT_USER, "Soft\\Key", "v", "12345678");  // 9 bytes
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "soft\\KEY", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS)
      << "key names ignore case";
  char buffer[16] = "untouched";
  DWORD size = 8;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_STREQ(buffer, "untouched");
  size = 9;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  EXPECT_STREQ(buffer, "12345678");
  size = sizeof(buffer);
  EXPECT_EQ(
      RegQueryValueExA(key, "missing", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win32stub::OpenKeyCount(), 1);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(win32stub::OpenKeyCount(), 0);
}

TEST_F(StandIn, RegistryRightsAndInjectedFailures) {
  const char* path = "Software\\Office";
  win32stub::SetString(HKEY_LOCAL_MACHINE, path, "a", "1");
  win32stub::SetString(HKEY_LOCAL_MACHINE, path, "b", "2");
  win32stub::DenyAccess(HKEY_LOCAL_MACHINE, path, KEY_SET_VALUE);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_ACCESS_DENIED) << "opened for reading only";
  RegCloseKey(key);

  win32stub::Reset();
  win32stub::SetString(HKEY_LOCAL_MACHINE, path, "a", "1");
  win32stub::FailValueWrite(HKEY_LOCAL_MACHINE, path, "a");
  win32stub::FailValueDelete(HKEY_LOCAL_MACHINE, path, "A");
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const BYTE data[] = "x";
  EXPECT_EQ(RegSetValueExA(key, "a", 0, REG_SZ, data, 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(key, "c", 0, REG_SZ, data, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "gone"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_EQ(win32stub::StringValue(HKEY_LOCAL_MACHINE, path, "a"), "1");
  EXPECT_EQ(win32stub::ValueBytes(HKEY_LOCAL_MACHINE, path, "c"), std::string("x\0", 2));
  ASSERT_EQ(win32stub::CallsTo("RegSetValueExA").size(), 2u);
  EXPECT_EQ(win32stub::CallsTo("RegSetValueExA")[1].Text(0), "HKLM\\Software\\Office");
}

TEST_F(StandIn, RegistryKeysGoOnlyWithoutSubkeys) {
  win32stub::CreateKey(HKEY_LOCAL_MACHINE, "Layouts\\00000628\\Inner");
  win32stub::CreateKey(HKEY_LOCAL_MACHINE, "Layouts\\00010628");
  HKEY list;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Layouts", 0, KEY_ALL_ACCESS, &list), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(list, "00000628"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(list, "00010628"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(list, "00010628"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(list);
  EXPECT_TRUE(win32stub::KeyExists(HKEY_LOCAL_MACHINE, "Layouts\\00000628"));
  EXPECT_FALSE(win32stub::KeyExists(HKEY_LOCAL_MACHINE, "Layouts\\00010628"));
}

TEST_F(StandIn, EnumerationCountsTheTerminatorInTheCapacity) {
  win32stub::SetString(HKEY_USERS, "S-1\\Keys\\Alpha", "1", "x");
  win32stub::SetValue(HKEY_USERS, "S-1\\Keys\\Alpha", "22", REG_SZ, "12345678");
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1\\Keys", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  char name[8];
  DWORD length = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1\\Keys", 0, KEY_READ, &key), ERROR_SUCCESS);
  length = 5;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  length = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(name) + std::to_string(length), "Alpha5");
  EXPECT_EQ(RegEnumKeyExA(key, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1\\Keys\\Alpha", 0, KEY_READ, &key), ERROR_SUCCESS);
  char data[4];
  DWORD type = 0, size = sizeof data;
  length = sizeof name;
  EXPECT_EQ(
      RegEnumValueA(key, 1, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u) << "the size the data needs";
  length = sizeof name;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::string(name) + std::to_string(length) + std::to_string(type), "111");
  EXPECT_EQ(RegEnumValueA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(key);
}

TEST_F(StandIn, HivesLoadAsCopiesAndGoBackToTheirFileOnUnload) {
  HKEY file = win32stub::PlaceHive("C:\\Users\\ben\\NTUSER.DAT");
  win32stub::SetString(file, "Keyboard Layout\\Preload", "1", "00000628");
  const char* path = "C:\\Users\\BEN\\ntuser.dat";
  EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Ben", path), ERROR_PRIVILEGE_NOT_HELD);

  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  TOKEN_PRIVILEGES asked{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}}, previous{};
  DWORD size = 0;
  for (const char* privilege : {"SeBackupPrivilege", "SeRestorePrivilege", "SeBackupPrivilege"}) {
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, privilege, &asked.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &asked, sizeof previous, &previous, &size));
  }
  EXPECT_EQ(previous.PrivilegeCount, 0u) << "enabled already: nothing to undo";

  EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Ben", path), ERROR_SUCCESS);
  EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Ben2", path), ERROR_SHARING_VIOLATION) << "loaded already";
  win32stub::MakeFile("C:\\Users\\cal\\NTUSER.DAT");
  EXPECT_EQ(RegLoadKeyA(HKEY_USERS, "Cal", "C:\\Users\\cal\\NTUSER.DAT"), ERROR_BADDB);
  HKEY preload;
  ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, "Ben\\Keyboard Layout\\Preload", 0, KEY_ALL_ACCESS, &preload),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(preload, "1"), ERROR_SUCCESS);
  EXPECT_EQ(win32stub::ValueNames(file, "Keyboard Layout\\Preload").size(), 1u) << "until unloaded";
  EXPECT_EQ(RegUnLoadKeyA(HKEY_USERS, "Ben"), ERROR_ACCESS_DENIED) << "a key in it is open";
  RegCloseKey(preload);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_USERS, "ben"), ERROR_SUCCESS);
  EXPECT_TRUE(win32stub::ValueNames(file, "Keyboard Layout\\Preload").empty());
  EXPECT_FALSE(win32stub::KeyExists(HKEY_USERS, "Ben"));
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_EQ(win32stub::OpenTokenCount(), 0);
}

std::vector<std::pair<std::string, DWORD>> List(const std::string& pattern) {
  std::vector<std::pair<std::string, DWORD>> entries;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return entries;
  do entries.emplace_back(data.cFileName, data.dwFileAttributes);
  while (FindNextFileA(find, &data));
  FindClose(find);
  return entries;
}

TEST_F(StandIn, EnumerationShowsDotEntriesAndAttributes) {
  win32stub::MakeFile("C:\\Pkg\\b.txt", "x");
  win32stub::MakeFile("C:\\Pkg\\Sub\\c.txt", "x");
  win32stub::MakeFile("C:\\Outside\\keep.txt", "x");
  win32stub::SetReadOnly("C:\\Pkg\\b.txt");
  win32stub::MakeFolderLink("C:\\Pkg\\Link", "C:\\Outside");
  const DWORD dir = FILE_ATTRIBUTE_DIRECTORY;
  using Entries = std::vector<std::pair<std::string, DWORD>>;
  EXPECT_EQ(List("c:\\pkg\\*.*"),
            (Entries{{".", dir},
                     {"..", dir},
                     {"b.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
                     {"Link", dir | FILE_ATTRIBUTE_REPARSE_POINT},
                     {"Sub", dir}}));
  for (const auto& [name, attributes] : List("C:\\*.*"))
    EXPECT_NE(name[0], '.') << "a drive root has no dot entries";
  EXPECT_TRUE(List("C:\\Missing\\*.*").empty());
  EXPECT_EQ(win32stub::OpenFindCount(), 0);
  // ".." never climbs out of the drive.
  EXPECT_EQ(win32stub::HostPath("C:\\..\\..\\Pkg"), win32stub::HostPath("C:\\Pkg"));
}

TEST_F(StandIn, DeletionFollowsTheWindowsRules) {
  win32stub::MakeFile("C:\\Pkg\\locked.dll", "x");
  win32stub::MakeFile("C:\\Pkg\\ro.txt", "x");
  win32stub::MakeFile("C:\\Outside\\keep.txt", "x");
  win32stub::MakeFolderLink("C:\\Pkg\\Link", "C:\\Outside");
  win32stub::LockFile("C:\\Pkg\\LOCKED.dll");
  win32stub::SetReadOnly("C:\\Pkg\\ro.txt");

  EXPECT_FALSE(DeleteFileA("C:\\Pkg\\locked.dll"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileA("C:\\Pkg\\ro.txt"));
  EXPECT_FALSE(DeleteFileA("C:\\Pkg"));
  EXPECT_FALSE(RemoveDirectoryA("C:\\Pkg")) << "not empty";
  EXPECT_TRUE(RemoveDirectoryA("C:\\Pkg\\Link"));
  EXPECT_TRUE(win32stub::Exists("C:\\Outside\\keep.txt")) << "a link goes by itself";
  EXPECT_FALSE(CreateDirectoryA("C:\\Pkg", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryA("C:\\No\\Parent", nullptr));
  EXPECT_TRUE(CreateDirectoryA("C:\\Pkg\\New", nullptr));
  EXPECT_TRUE(RemoveDirectoryA("c:\\PKG\\new"));
  std::string tooLong = "C:\\" + std::string(MAX_PATH, 'a');
  EXPECT_FALSE(CreateDirectoryA(tooLong.c_str(), nullptr));
}

TEST_F(StandIn, FolderQueriesAndTheirFailures) {
  char buffer[MAX_PATH];
  EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), win32stub::SystemDirectory().size());
  EXPECT_EQ(buffer, win32stub::SystemDirectory());
  EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, buffer), S_OK);
  EXPECT_EQ(buffer, win32stub::AppDataFolder());
  EXPECT_TRUE(win32stub::IsFolder(buffer));
  win32stub::FailSystemDirectory();
  win32stub::FailAppDataFolder();
  EXPECT_EQ(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
  EXPECT_LT(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, buffer), 0);
}

TEST_F(StandIn, TextRoutines) {
  char buffer[64];
  EXPECT_EQ(wsprintfA(buffer, "%04X%04X", 0x1A, 0x0628), 8);
  EXPECT_STREQ(buffer, "001A0628");
  wsprintfA(buffer, "%i|%s|%-3d|%x", 999, "ab", -5, 0xBEEF);
  EXPECT_STREQ(buffer, "999|ab|-5 |beef");
  lstrcpynA(buffer, "ldkeys.dll", 7);
  EXPECT_STREQ(buffer, "ldkeys") << "the limit counts the terminator";
  EXPECT_EQ(lstrcmpiA("LDKEYS.DLL", "ldkeys.dll"), 0);
  EXPECT_NE(lstrcmpA("000a0628", "000A0628"), 0);
  lstrcpyA(buffer, "C:\\A");
  lstrcatA(buffer, "\\b");
  EXPECT_STREQ(buffer, "C:\\A\\b");
  EXPECT_EQ(lstrlenA(buffer), 6);
  const char* folder = "%systemdrive%\\Users\\%USERNAME%";
  EXPECT_EQ(ExpandEnvironmentStringsA(folder, buffer, 19), 20u) << "too small: left alone";
  EXPECT_STREQ(buffer, "C:\\A\\b");
  EXPECT_EQ(ExpandEnvironmentStringsA(folder, buffer, 20), 20u);
  EXPECT_STREQ(buffer, "C:\\Users\\%USERNAME%");
}

}  // namespace
