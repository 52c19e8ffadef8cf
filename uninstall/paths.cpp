// Package folders: where the package lives on this machine, and the removal
// of its program group, install folder and maker folder. Also the bounded
// path and registry-string helpers every removal step builds on.
#include "uninstall.h"

PackagePathsRecord PackagePaths;

static const char CurrentVersionPath[] = "Software\\Microsoft\\Windows\\CurrentVersion";
static const char ShellFoldersPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
static const char MakerFolderName[] = "Krelmo";
static const char PackageFolderName[] = "Lindorian";

// out := first + separator + second, or an empty out when the result would
// not fit a MAX_PATH buffer. out may be the same buffer as first.
static int ComposePath(char* out, const char* first, const char* separator, const char* second) {
  int firstLength = lstrlenA(first);
  int separatorLength = lstrlenA(separator);
  int secondLength = lstrlenA(second);
  if (firstLength + separatorLength + secondLength > MAX_PATH - 1) {
    out[0] = 0;
    return 0;
  }
  if (out != first) lstrcpynA(out, first, firstLength + 1);
  lstrcpynA(out + firstLength, separator, separatorLength + 1);
  lstrcpynA(out + firstLength + separatorLength, second, secondLength + 1);
  return 1;
}

int JoinPath(char* out, const char* first, const char* second) {
  return ComposePath(out, first, "\\", second);
}

int ConcatPath(char* out, const char* first, const char* second) {
  return ComposePath(out, first, "", second);
}

int ReadStringValue(HKEY key, const char* name, char* buffer, DWORD capacity) {
  DWORD size = capacity;
  LONG result =
      RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  if (result == ERROR_SUCCESS && size <= capacity) {
    // Registry strings need not carry their terminator; one stored
    // without it fits only when there is a byte left to add it.
    if (size > 0 && buffer[size - 1] == 0) return 1;
    if (size < capacity) {
      buffer[size] = 0;
      return 1;
    }
  }
  buffer[0] = 0;
  return 0;
}

int IsResolved(const char* path) { return path[0] != 0; }

// A folder value the rest of the package paths are built on. An empty one
// would make them relative to the root of the current drive.
static int ReadFolderValue(HKEY key, const char* name, char* buffer) {
  return ReadStringValue(key, name, buffer, MAX_PATH) && IsResolved(buffer);
}

// ProgramFilesRoot, then the maker folder and the install folder inside it.
// A path too long to form leaves its member empty.
static int ResolveInstallFolder() {
  HKEY currentVersion;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CurrentVersionPath, 0, KEY_QUERY_VALUE, &currentVersion) !=
      ERROR_SUCCESS)
    return 0;
  int found = ReadFolderValue(currentVersion, "ProgramFilesDir", PackagePaths.ProgramFilesRoot);
  RegCloseKey(currentVersion);
  if (!found) return 0;

  if (!JoinPath(PackagePaths.InstallFolder, PackagePaths.ProgramFilesRoot, MakerFolderName))
    return 1;
  CreateDirectoryA(PackagePaths.InstallFolder, nullptr);
  if (!JoinPath(PackagePaths.InstallFolder, PackagePaths.InstallFolder, PackageFolderName))
    return 1;
  CreateDirectoryA(PackagePaths.InstallFolder, nullptr);
  return 1;
}

// ProgramGroupFolder and FontsFolder from the user's shell folders.
static int ResolveShellFolders() {
  HKEY shellFolders;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ShellFoldersPath, 0, KEY_QUERY_VALUE, &shellFolders) !=
      ERROR_SUCCESS)
    return 0;
  char programs[MAX_PATH];
  int found = ReadFolderValue(shellFolders, "Programs", programs);
  if (found) {
    if (JoinPath(PackagePaths.ProgramGroupFolder, programs, PackageFolderName))
      CreateDirectoryA(PackagePaths.ProgramGroupFolder, nullptr);
    found = ReadFolderValue(shellFolders, "Fonts", PackagePaths.FontsFolder);
  }
  RegCloseKey(shellFolders);
  return found;
}

static int AllPathsResolved() {
  return IsResolved(PackagePaths.ProgramFilesRoot) && IsResolved(PackagePaths.InstallFolder) &&
         IsResolved(PackagePaths.ProgramGroupFolder) && IsResolved(PackagePaths.FontsFolder);
}

int ResolvePackagePaths() {
  if (!ResolveInstallFolder()) return 0;
  if (!ResolveShellFolders()) return 0;
  return AllPathsResolved();
}

static int IsDirectory(const WIN32_FIND_DATAA& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Junctions and folder symbolic links: what they point at belongs to
// someone else, so only the link itself may go. Asked of the path, so that
// the package folders themselves are covered as well as those inside them.
static int IsLink(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

static int PathExists(const char* path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int DeleteFileNowOrAtRestart(const char* path) {
  if (DeleteFileA(path)) return 1;
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  // Read-only files stay, now and after the restart; a link is never left
  // to a deletion that might follow it.
  if (attributes &
      (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return 0;
  // In use: a loaded module or font, or this program's own file.
  return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// Characters no Win32 file name holds. Entry names come back from the ANSI
// calls converted with best-fit mapping, so a fullwidth reverse solidus in
// the real name arrives as "\", a division slash as "/", and characters the
// code page lacks as "?". Such a name would lead the joined path somewhere
// else ("a\..\..\x.txt") or address nothing, so the entry is left alone.
static int IsForbiddenInName(char c) {
  switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|': return 1;
    default: return static_cast<unsigned char>(c) < 0x20;
  }
}

// Steps by characters: in double-byte code pages such as 950 a trail byte
// may be 0x5C or 0x7C without being a separator.
static int IsPlainName(const char* name) {
  if (!name[0]) return 0;
  for (const char* c = name; *c; c = CharNextA(c))
    if (IsForbiddenInName(*c)) return 0;
  return 1;
}

// "." and ".." name the folder itself and its parent, not entries of it.
static int IsSelfOrParent(const char* name) {
  return lstrcmpA(name, ".") == 0 || lstrcmpA(name, "..") == 0;
}

static int RemoveFolderTree(const char* folder);

// 1 when the entry is gone or goes at the restart, 0 when it stays.
static int RemoveEntry(const char* folder, const WIN32_FIND_DATAA& entry) {
  char path[MAX_PATH];
  if (!IsPlainName(entry.cFileName) || !JoinPath(path, folder, entry.cFileName)) return 0;
  if (!IsDirectory(entry)) return DeleteFileNowOrAtRestart(path);
  // ".", ".." and every other dot-named folder stay.
  if (entry.cFileName[0] == '.') return IsSelfOrParent(entry.cFileName);
  return RemoveFolderTree(path);
}

// 1 when everything in the folder is gone or goes at the restart.
static int RemoveFolderContents(const char* folder) {
  char pattern[MAX_PATH];
  if (!JoinPath(pattern, folder, "*.*")) return 0;
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  int emptied = 1;
  do emptied &= RemoveEntry(folder, entry);
  while (FindNextFileA(search, &entry));
  FindClose(search);
  return emptied;
}

// Depth first, so that what is left for the restart is scheduled before
// the folders holding it: Windows works through its list in order. A link
// goes now or never; what it leads to is never entered.
static int RemoveFolderTree(const char* folder) {
  if (IsLink(folder)) return RemoveDirectoryA(folder) != 0;
  int emptied = RemoveFolderContents(folder);
  if (RemoveDirectoryA(folder)) return 1;
  // Still there: in use, or holding files that go at the restart.
  return emptied && MoveFileExA(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

int RemoveTree(const char* folder) {
  // An empty folder would make the pattern "\*.*": the root of the drive.
  if (IsResolved(folder)) RemoveFolderTree(folder);
  return 1;
}

int RemoveProgramGroup() {
  RemoveTree(PackagePaths.ProgramGroupFolder);
  return 1;
}

int RemoveInstallFolders() {
  int installFolderGoes =
      IsResolved(PackagePaths.InstallFolder) && RemoveFolderTree(PackagePaths.InstallFolder);
  // The maker folder may hold other products; removal fails unless empty.
  // A link would go whatever its target holds, so a linked one stays.
  char makerFolder[MAX_PATH];
  if (!IsResolved(PackagePaths.ProgramFilesRoot) ||
      !JoinPath(makerFolder, PackagePaths.ProgramFilesRoot, MakerFolderName) || IsLink(makerFolder))
    return 1;
  if (RemoveDirectoryA(makerFolder)) return 1;
  // Left for the restart after the install folder: Windows removes it then
  // only if nothing else is in it by that time.
  if (installFolderGoes && PathExists(PackagePaths.InstallFolder))
    MoveFileExA(makerFolder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 1;
}
