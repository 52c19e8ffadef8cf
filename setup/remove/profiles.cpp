// The package's entries in every user profile: the program group, the EUDC
// links, the layout in the preload, substitute and input lists, the per-user
// step's record and Windows' per-user copies of the Active Setup component.
//
// A user can write anything into their own hive, so whatever is read from
// one is bounded, and the program group is removed only where it lies in
// the profile folder that the machine's own ProfileList names.
#include "profiles.h"

#include "uninstall.h"

// The same path in HKLM and, for Windows' copy, in each user's hive.
static const char ActiveSetupComponentPath[] =
    "Software\\Microsoft\\Active Setup\\Installed Components\\" PACKAGE_ACTIVE_SETUP_ID;
static const char Wow64ActiveSetupCopyPath[] =
    "Software\\Wow6432Node\\Microsoft\\Active Setup\\Installed "
    "Components\\" PACKAGE_ACTIVE_SETUP_ID;
// The component's key name and the per-user step's record come from
// cmake/package.cmake; the record's key is the maker's key's only one.
static const char RecordPath[] = PACKAGE_USER_KEY;
static const char MakerPath[] = "Software\\Krelmo";
static const char ShellFoldersPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
static const char PackageFolderName[] = "Lindorian";
static const char PreloadListPath[] = "Keyboard Layout\\Preload";
static const char SubstitutesPath[] = "Keyboard Layout\\Substitutes";
static const char InputListsPath[] = "Control Panel\\International\\User Profile";

static const char ProfileListPath[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
static const char ProfileFolderValue[] = "ProfileImagePath";
static const char HiveFileName[] = "NTUSER.DAT";
// A hive is mounted under a name of the package's own, never under the SID:
// HKEY_USERS\<SID> is where Windows mounts it when the user signs in.
static const char MountNamePrefix[] = "Lindorian.Removal.";
// Both privileges must be enabled to load and unload a hive. An
// administrator's token holds them, disabled.
static const char BackupPrivilegeName[] = "SeBackupPrivilege";
static const char RestorePrivilegeName[] = "SeRestorePrivilege";

// A SID string has at most 187 characters, its terminator included.
static const DWORD SidCapacity = 187;
// A language tag (LOCALE_NAME_MAX_LENGTH, terminator included).
static const DWORD LanguageNameCapacity = 85;
static const int KlidLength = 8;
static const DWORD KlidCapacity = KlidLength + 1;
// "LLLL:KLID" and its terminator; longer names are other products'.
static const DWORD InputMethodNameCapacity = 4 + 1 + KlidCapacity;

// Another program (a virus scanner, a backup agent) may hold a key of a
// loaded hive open for a moment. A hive left loaded keeps its file in use,
// and its user from their own profile at the next sign-in.
static const int UnloadAttempts = 5;
static const DWORD UnloadRetryDelayMs = 200;

static int IsDigit(char c) { return c >= '0' && c <= '9'; }

static int IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

static int IsKlid(const char* text) {
  for (int at = 0; at < KlidLength; ++at)
    if (!IsHexDigit(text[at])) return 0;
  return text[KlidLength] == 0;
}

// "S-" and numbers joined by single dashes. ProfileList also holds keys such
// as "<SID>.bak", left by profiles Windows could not load; they name no hive.
static int IsSidName(const char* name) {
  if (name[0] != 'S' || name[1] != '-' || !IsDigit(name[2])) return 0;
  for (const char* c = name + 2; *c; ++c)
    if (!IsDigit(*c) && !(*c == '-' && IsDigit(c[1]))) return 0;
  return 1;
}

// The name of the subkey at *index or after it, passing over names longer
// than capacity allows; 0 at the end of the list.
static int NextSubkey(HKEY key, DWORD* index, char* name, DWORD capacity) {
  for (;; ++*index) {
    DWORD length = capacity;
    LONG result = RegEnumKeyExA(key, *index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_MORE_DATA) return result == ERROR_SUCCESS;
  }
}

static int IsLink(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

static int CharacterLength(const char* text) { return static_cast<int>(CharNextA(text) - text); }

static char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Letters compare without regard to case. The trail byte of a double-byte
// character is no letter, whatever its value.
static int IsSameCharacter(const char* first, const char* second, int length) {
  if (length == 1) return UpperAscii(*first) == UpperAscii(*second);
  for (int at = 0; at < length; ++at)
    if (first[at] != second[at]) return 0;
  return 1;
}

// What follows the profile folder at the start of path, compared character
// by character; nullptr when path does not start with it.
static char* AfterProfileFolder(char* path, const char* profileFolder) {
  while (*profileFolder) {
    int length = CharacterLength(profileFolder);
    if (CharacterLength(path) != length || !IsSameCharacter(path, profileFolder, length))
      return nullptr;
    path += length;
    profileFolder += length;
  }
  return path;
}

// Characters that would make a name something other than one folder: a
// second separator, a drive or stream, a wildcard.
static int IsForbiddenInFolderName(char c) {
  return c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
         c == '|' || static_cast<unsigned char>(c) < 0x20;
}

// The name from name to end is one plain folder name. Windows drops
// trailing dots and spaces from a name, so one such as ".. " may come to
// mean "..": no name may end in either.
static int IsPlainFolderName(const char* name, const char* end) {
  if (name == end) return 0;
  const char* last = name;
  for (const char* c = name; c < end; c = CharNextA(c)) {
    if (IsForbiddenInFolderName(*c)) return 0;
    last = c;
  }
  return CharacterLength(last) != 1 || (*last != '.' && *last != ' ');
}

// 1 when folder is the profile folder or lies in it by whole, plain folder
// names, and neither it nor any folder on the way is a link: the program
// group in it is then the user's own. folder is restored before return.
static int LiesInProfileFolder(char* folder, const char* profileFolder) {
  if (!IsResolved(profileFolder) || IsLink(profileFolder)) return 0;
  char* rest = AfterProfileFolder(folder, profileFolder);
  if (!rest) return 0;
  while (*rest) {
    if (*rest != '\\') return 0;
    char* name = rest + 1;
    rest = name;
    while (*rest && *rest != '\\') rest = CharNextA(rest);
    if (!IsPlainFolderName(name, rest)) return 0;
    char separator = *rest;
    *rest = 0;
    int link = IsLink(folder);
    *rest = separator;
    if (link) return 0;
  }
  return 1;
}

static void RemoveProgramGroupOf(HKEY userRoot, const char* profileFolder) {
  HKEY shellFolders;
  if (RegOpenKeyExA(userRoot, ShellFoldersPath, 0, KEY_QUERY_VALUE, &shellFolders) != ERROR_SUCCESS)
    return;
  char programs[MAX_PATH];
  int found = ReadStringValue(shellFolders, "Programs", programs, MAX_PATH);
  RegCloseKey(shellFolders);
  char group[MAX_PATH];
  if (found && LiesInProfileFolder(programs, profileFolder) &&
      JoinPath(group, programs, PackageFolderName))
    RemoveTree(group);
}

// A substitute's data: a KLID stored as REG_SZ, with or without its
// terminator, and the package's.
static int NamesLayout(DWORD type, char* data, DWORD size, const char* klid) {
  if (type != REG_SZ || size > KlidCapacity) return 0;
  if (size < KlidCapacity)
    data[size] = 0;
  else if (data[KlidLength])
    return 0;
  return lstrcmpiA(data, klid) == 0;
}

// A substitute stands for the layout under a KLID of another language; the
// preload list names it by that KLID, the substitute's name. Each deletion
// starts the enumeration again, as it renumbers the values; a substitute
// that cannot be deleted is passed over.
static void RemoveSubstitutesFor(HKEY substitutes, HKEY preload, const char* klid) {
  char name[KlidCapacity];
  char data[KlidCapacity];
  for (DWORD index = 0;;) {
    DWORD nameLength = KlidCapacity;
    DWORD type = REG_NONE;
    DWORD size = KlidCapacity;
    LONG result = RegEnumValueA(substitutes, index, name, &nameLength, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &size);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return;
    int substitute = result == ERROR_SUCCESS && NamesLayout(type, data, size, klid);
    if (substitute && preload) RemovePreloadEntry(preload, name);
    if (substitute && RegDeleteValueA(substitutes, name) == ERROR_SUCCESS)
      index = 0;
    else
      ++index;
  }
}

static void RemoveFromPreloadList(HKEY userRoot, const char* klid) {
  HKEY preload;
  if (RegOpenKeyExA(userRoot, PreloadListPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &preload) !=
      ERROR_SUCCESS)
    preload = nullptr;
  if (preload) RemovePreloadEntry(preload, klid);
  HKEY substitutes;
  if (RegOpenKeyExA(userRoot, SubstitutesPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &substitutes) ==
      ERROR_SUCCESS) {
    RemoveSubstitutesFor(substitutes, preload, klid);
    RegCloseKey(substitutes);
  }
  if (preload) RegCloseKey(preload);
}

// "LLLL:KLID", a language and the layout: Windows' name for the layout's
// entry in that language's input list.
static int IsInputMethodOf(const char* name, const char* klid) {
  for (int at = 0; at < 4; ++at)
    if (!IsHexDigit(name[at])) return 0;
  return name[4] == ':' && lstrcmpiA(name + 5, klid) == 0;
}

static void RemoveInputMethodsFrom(HKEY inputList, const char* klid) {
  char name[InputMethodNameCapacity];
  for (DWORD index = 0;;) {
    DWORD length = InputMethodNameCapacity;
    LONG result =
        RegEnumValueA(inputList, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) return;
    if (result == ERROR_SUCCESS && IsInputMethodOf(name, klid) &&
        RegDeleteValueA(inputList, name) == ERROR_SUCCESS)
      index = 0;  // as for the substitutes
    else
      ++index;
  }
}

static void RemoveFromInputLists(HKEY userRoot, const char* klid) {
  HKEY lists;
  if (RegOpenKeyExA(userRoot, InputListsPath, 0, KEY_ENUMERATE_SUB_KEYS, &lists) != ERROR_SUCCESS)
    return;
  char language[LanguageNameCapacity];
  for (DWORD index = 0; NextSubkey(lists, &index, language, LanguageNameCapacity); ++index) {
    HKEY inputList;
    if (RegOpenKeyExA(lists, language, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &inputList) !=
        ERROR_SUCCESS)
      continue;
    RemoveInputMethodsFrom(inputList, klid);
    RegCloseKey(inputList);
  }
  RegCloseKey(lists);
}

static int IsEmptyKey(HKEY key) {
  char name[1];
  DWORD length = 1;
  if (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_NO_MORE_ITEMS)
    return 0;
  length = 1;
  return RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_NO_MORE_ITEMS;
}

// The maker's key may hold other products' settings; it goes only empty.
static void RemoveRecord(HKEY userRoot) {
  RegDeleteKeyA(userRoot, RecordPath);
  HKEY maker;
  if (RegOpenKeyExA(userRoot, MakerPath, 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &maker) !=
      ERROR_SUCCESS)
    return;
  int empty = IsEmptyKey(maker);
  RegCloseKey(maker);
  if (empty) RegDeleteKeyA(userRoot, MakerPath);
}

void RemovePackageFromProfile(HKEY userRoot, const char* profileFolder, const char* klid) {
  RemoveProgramGroupOf(userRoot, profileFolder);
  RemoveEudcLinksFor(userRoot);
  if (IsKlid(klid)) {
    RemoveFromPreloadList(userRoot, klid);
    RemoveFromInputLists(userRoot, klid);
  }
  RemoveRecord(userRoot);
  RegDeleteKeyA(userRoot, ActiveSetupComponentPath);
  RegDeleteKeyA(userRoot, Wow64ActiveSetupCopyPath);
}

// The profile folder with its variables (%SystemDrive%, %SystemRoot%)
// expanded; 0 when there is none or it does not fit.
static int ReadProfileFolder(HKEY profileList, const char* sid, char* profileFolder) {
  HKEY profile;
  if (RegOpenKeyExA(profileList, sid, 0, KEY_QUERY_VALUE, &profile) != ERROR_SUCCESS) return 0;
  char stored[MAX_PATH];
  int found = ReadStringValue(profile, ProfileFolderValue, stored, MAX_PATH);
  RegCloseKey(profile);
  // The count includes the terminator; the ANSI call wants room for one
  // character more than it stores.
  DWORD length = found ? ExpandEnvironmentStringsA(stored, profileFolder, MAX_PATH - 1) : 0;
  return length > 1 && length <= MAX_PATH - 1;
}

static void UnloadHive(const char* mountName) {
  for (int attempt = 1; RegUnLoadKeyA(HKEY_USERS, mountName) != ERROR_SUCCESS; ++attempt) {
    if (attempt == UnloadAttempts) return;
    Sleep(UnloadRetryDelayMs);
  }
}

// A user who is not signed in: the hive is loaded, cleaned and unloaded,
// with every key in it closed first. One that cannot be loaded (in use, or
// a roaming profile that is not on this machine) is passed over.
static void RemovePackageFromHiveFile(const char* sid, const char* profileFolder,
                                      const char* klid) {
  char hiveFile[MAX_PATH];
  char mountName[MAX_PATH];
  if (!JoinPath(hiveFile, profileFolder, HiveFileName) ||
      !ConcatPath(mountName, MountNamePrefix, sid) ||
      RegLoadKeyA(HKEY_USERS, mountName, hiveFile) != ERROR_SUCCESS)
    return;
  HKEY userRoot;
  if (RegOpenKeyExA(HKEY_USERS, mountName, 0, KEY_READ, &userRoot) == ERROR_SUCCESS) {
    RemovePackageFromProfile(userRoot, profileFolder, klid);
    RegCloseKey(userRoot);
  }
  UnloadHive(mountName);
}

static void RemovePackageFromListedProfile(HKEY profileList, const char* sid, const char* klid) {
  char profileFolder[MAX_PATH];
  if (!IsSidName(sid) || !ReadProfileFolder(profileList, sid, profileFolder)) return;
  HKEY userRoot;
  // Open under the SID: the user is signed in (or a service runs as them).
  if (RegOpenKeyExA(HKEY_USERS, sid, 0, KEY_READ, &userRoot) == ERROR_SUCCESS) {
    RemovePackageFromProfile(userRoot, profileFolder, klid);
    RegCloseKey(userRoot);
    return;
  }
  RemovePackageFromHiveFile(sid, profileFolder, klid);
}

// Enables the privilege in the token; previous receives what undoes that,
// no privilege at all when it was enabled already or cannot be.
static void EnablePrivilege(HANDLE token, const char* name, TOKEN_PRIVILEGES* previous) {
  previous->PrivilegeCount = 0;
  TOKEN_PRIVILEGES enabled;
  enabled.PrivilegeCount = 1;
  enabled.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD size = 0;
  if (LookupPrivilegeValueA(nullptr, name, &enabled.Privileges[0].Luid) &&
      !AdjustTokenPrivileges(token, FALSE, &enabled, sizeof *previous, previous, &size))
    previous->PrivilegeCount = 0;
}

static void RestorePrivilege(HANDLE token, TOKEN_PRIVILEGES* previous) {
  if (previous->PrivilegeCount) AdjustTokenPrivileges(token, FALSE, previous, 0, nullptr, nullptr);
}

// Windows keeps the list in the 64-bit view, which KEY_WOW64_64KEY reaches
// from this 32-bit program; 32-bit Windows ignores the flag. Windows 2000
// does not know it, hence the second try without.
static int OpenProfileList(HKEY* profileList) {
  const REGSAM access = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProfileListPath, 0, access | KEY_WOW64_64KEY,
                       profileList) == ERROR_SUCCESS ||
         RegOpenKeyExA(HKEY_LOCAL_MACHINE, ProfileListPath, 0, access, profileList) ==
             ERROR_SUCCESS;
}

void RemovePackageFromEveryProfile(const char* klid) {
  HKEY profileList;
  if (!OpenProfileList(&profileList)) return;
  // Without the privileges (no administrator) hives do not load, and only
  // the signed-in users' profiles are cleaned.
  HANDLE token;
  TOKEN_PRIVILEGES previousBackup;
  TOKEN_PRIVILEGES previousRestore;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    token = nullptr;
  if (token) {
    EnablePrivilege(token, BackupPrivilegeName, &previousBackup);
    EnablePrivilege(token, RestorePrivilegeName, &previousRestore);
  }
  char sid[SidCapacity];
  for (DWORD index = 0; NextSubkey(profileList, &index, sid, SidCapacity); ++index)
    RemovePackageFromListedProfile(profileList, sid, klid);
  if (token) {
    RestorePrivilege(token, &previousRestore);
    RestorePrivilege(token, &previousBackup);
    CloseHandle(token);
  }
  RegCloseKey(profileList);
}

void RemoveActiveSetupComponent() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, ActiveSetupComponentPath); }
