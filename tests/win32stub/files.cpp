// Windows paths on a host folder, the kernel32 file and folder calls, and the
// two folder queries.
#include "state.h"

#include <shlobj.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace win32stub::detail {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The entry of `folder` whose name equals `name` without regard to case;
// `name` itself when there is none (yet).
std::string MatchName(const fs::path& folder, const std::string& name) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(folder / name, error))) return name;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string candidate = entry.path().filename().string();
    if (EqualNoCase(candidate, name)) return candidate;
  }
  return name;
}

// Status through links, and of the link itself.
struct Entry {
  bool exists = false, folder = false, link = false, readOnly = false;
  std::uintmax_t size = 0;
};

Entry Examine(const fs::path& host) {
  Entry entry;
  struct stat own, target;
  if (lstat(host.c_str(), &own) != 0) return entry;
  entry.exists = true;
  entry.link = S_ISLNK(own.st_mode);
  bool reached = stat(host.c_str(), &target) == 0;
  const struct stat& seen = entry.link && reached ? target : own;
  entry.folder = reached && S_ISDIR(seen.st_mode);
  entry.readOnly = !(seen.st_mode & S_IWUSR);
  entry.size = static_cast<std::uintmax_t>(seen.st_size);
  return entry;
}

DWORD Attributes(const Entry& entry) {
  DWORD attributes = 0;
  if (entry.folder) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (entry.link) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (entry.readOnly) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!entry.folder) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  return attributes;
}

// A host name as the ANSI calls hand it back: the few best-fit mappings that
// turn a harmless character into a path character.
std::string AnsiName(std::string name) {
  static const std::pair<std::string_view, char> bestFit[] = {
      {"\xEF\xBC\xBC", '\\'}, {"\xE2\x88\x95", '/'}, {"\xEF\xBC\x8F", '/'}, {"\xEF\xBC\x9A", ':'}};
  for (const auto& [utf8, ansi] : bestFit)
    for (std::size_t at; (at = name.find(utf8)) != std::string::npos;)
      name.replace(at, utf8.size(), 1, ansi);
  return name;
}

WIN32_FIND_DATAA FindData(const std::string& name, const Entry& entry) {
  WIN32_FIND_DATAA data{};
  data.dwFileAttributes = Attributes(entry);
  data.nFileSizeLow = static_cast<DWORD>(entry.size);
  data.nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
  if (entry.link) data.dwReserved0 = IO_REPARSE_TAG_SYMLINK;
  std::strncpy(data.cFileName, AnsiName(name).c_str(), MAX_PATH - 1);
  return data;
}

// File-name wildcards: "*" any run, "?" one character, letters without
// regard to case; "*.*" matches every name, dotted or not.
bool Matches(std::string_view pattern, std::string_view name) {
  if (pattern == "*.*") pattern = "*";
  if (pattern.empty()) return name.empty();
  if (pattern.front() == '*')
    return Matches(pattern.substr(1), name) || (!name.empty() && Matches(pattern, name.substr(1)));
  if (name.empty()) return false;
  if (pattern.front() != '?' && !EqualNoCase(pattern.substr(0, 1), name.substr(0, 1))) return false;
  return Matches(pattern.substr(1), name.substr(1));
}

bool IsDriveRoot(const fs::path& host) { return host.parent_path() == S().root; }

// Sets the last error and logs a file call that changes the drive.
BOOL Done(const char* function, LPCSTR path, DWORD error) {
  if (error) Fail(error);
  Log(function, {Text(path)}, error ? FALSE : TRUE);
  return error ? FALSE : TRUE;
}

}  // namespace

fs::path Resolve(std::string_view path) {
  if (path.size() >= MAX_PATH) return {};
  char drive = 'C';  // relative and rooted paths refer to the current drive, C:
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    path.remove_prefix(2);
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return {};  // network paths are not modelled
  }
  fs::path host = S().root / std::string(1, drive);
  std::error_code error;
  if (!fs::is_directory(host, error)) return {};
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) end += CharacterLength(path.substr(end));
    std::string part(path.substr(start, end - start));
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  for (const std::string& part : parts) host /= MatchName(host, part);
  return host;
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

namespace {
fs::path MustResolve(std::string_view path) {
  fs::path host = Resolve(path);
  if (host.empty()) throw std::logic_error("win32stub: cannot map path " + std::string(path));
  return host;
}
}  // namespace

std::string HostPath(std::string_view windowsPath) { return MustResolve(windowsPath).string(); }

void MakeFolder(std::string_view windowsPath) { fs::create_directories(MustResolve(windowsPath)); }

void MakeFile(std::string_view windowsPath, std::string_view contents) {
  fs::path host = MustResolve(windowsPath);
  fs::create_directories(host.parent_path());
  std::ofstream(host, std::ios::binary) << contents;
}

bool Exists(std::string_view windowsPath) {
  fs::path host = Resolve(windowsPath);
  return !host.empty() && Examine(host).exists;
}

bool IsFolder(std::string_view windowsPath) {
  fs::path host = Resolve(windowsPath);
  return !host.empty() && Examine(host).folder;
}

void SetReadOnly(std::string_view windowsPath) {
  fs::permissions(MustResolve(windowsPath),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

void MakeFolderLink(std::string_view linkPath, std::string_view targetPath) {
  fs::path link = MustResolve(linkPath);
  fs::create_directories(link.parent_path());
  fs::create_directory_symlink(MustResolve(targetPath), link);
}

void LockFile(std::string_view windowsPath) {
  S().lockedFiles.insert(MustResolve(windowsPath).string());
}

void FailDelayedMoves() { S().failDelayedMoves = true; }

int OpenFindCount() { return static_cast<int>(S().openFinds.size()); }

std::string SystemDirectory() { return S().systemDirectory; }
std::string AppDataFolder() { return S().appDataFolder; }
void FailSystemDirectory() { S().failSystemDirectory = true; }
void FailAppDataFolder() { S().failAppDataFolder = true; }

}  // namespace win32stub

using namespace win32stub::detail;

extern "C" {

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
  std::string_view text = pattern ? pattern : "";
  std::size_t split = text.find_last_of("\\/");
  std::string folder(split == std::string_view::npos ? "" : text.substr(0, split + 1));
  std::string_view wildcard = split == std::string_view::npos ? text : text.substr(split + 1);
  fs::path host = Resolve(folder);
  if (text.size() >= MAX_PATH) {
    Fail(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  if (host.empty() || !Examine(host).folder) {
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }

  OpenFind find;
  auto add = [&](const std::string& name, const Entry& entry) {
    if (Matches(wildcard, name)) find.entries.push_back(FindData(name, entry));
  };
  // A drive's root folder has no "." and ".." entries; every other folder does.
  if (!IsDriveRoot(host)) {
    add(".", Examine(host));
    add("..", Examine(host.parent_path()));
  }
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(host, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end(), NoCase());
  for (const std::string& name : names) add(name, Examine(host / name));

  if (find.entries.empty()) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = find.entries[0];
  find.next = 1;
  std::uintptr_t handle = NewHandle();
  S().openFinds[handle] = std::move(find);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
  auto found = S().openFinds.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == S().openFinds.end()) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  OpenFind& find = found->second;
  if (find.next >= find.entries.size()) {
    Fail(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = find.entries[find.next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
  if (S().openFinds.erase(reinterpret_cast<std::uintptr_t>(handle))) return TRUE;
  Fail(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR path) {
  fs::path host = Resolve(Redirected(path ? path : ""));
  if (host.empty()) return Done("DeleteFileA", path, ERROR_PATH_NOT_FOUND);
  Entry entry = Examine(host);
  if (!entry.exists) return Done("DeleteFileA", path, ERROR_FILE_NOT_FOUND);
  if (entry.folder || entry.readOnly) return Done("DeleteFileA", path, ERROR_ACCESS_DENIED);
  if (S().lockedFiles.count(host.string()))
    return Done("DeleteFileA", path, ERROR_SHARING_VIOLATION);
  return Done("DeleteFileA", path, unlink(host.c_str()) == 0 ? 0 : ERROR_ACCESS_DENIED);
}

BOOL WINAPI RemoveDirectoryA(LPCSTR path) {
  fs::path host = Resolve(path ? path : "");
  if (host.empty()) return Done("RemoveDirectoryA", path, ERROR_PATH_NOT_FOUND);
  Entry entry = Examine(host);
  if (!entry.exists) return Done("RemoveDirectoryA", path, ERROR_FILE_NOT_FOUND);
  if (!entry.folder) return Done("RemoveDirectoryA", path, ERROR_DIRECTORY);
  if (S().lockedFiles.count(host.string()))
    return Done("RemoveDirectoryA", path, ERROR_SHARING_VIOLATION);
  // A folder link goes by itself, whatever the folder it leads to holds.
  if (entry.link)
    return Done("RemoveDirectoryA", path, unlink(host.c_str()) == 0 ? 0 : ERROR_ACCESS_DENIED);
  if (IsDriveRoot(host) || host == S().root)
    return Done("RemoveDirectoryA", path, ERROR_ACCESS_DENIED);
  std::error_code error;
  if (!fs::is_empty(host, error)) return Done("RemoveDirectoryA", path, ERROR_DIR_NOT_EMPTY);
  return Done("RemoveDirectoryA", path, rmdir(host.c_str()) == 0 ? 0 : ERROR_ACCESS_DENIED);
}

BOOL WINAPI CreateDirectoryA(LPCSTR path, SECURITY_ATTRIBUTES*) {
  fs::path host = Resolve(path ? path : "");
  if (host.empty()) return Done("CreateDirectoryA", path, ERROR_PATH_NOT_FOUND);
  if (Examine(host).exists) return Done("CreateDirectoryA", path, ERROR_ALREADY_EXISTS);
  if (!Examine(host.parent_path()).folder)
    return Done("CreateDirectoryA", path, ERROR_PATH_NOT_FOUND);
  return Done("CreateDirectoryA", path, mkdir(host.c_str(), 0777) == 0 ? 0 : ERROR_ACCESS_DENIED);
}

// Only deletions are left for the restart here: the program schedules
// nothing else. Recorded as named, never redirected: Windows carries the
// list out at boot, where no WOW64 redirection applies.
BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags) {
  const bool done = !S().failDelayedMoves && existing && !replacement &&
                    flags == MOVEFILE_DELAY_UNTIL_REBOOT && !Resolve(existing).empty();
  if (!done) Fail(ERROR_ACCESS_DENIED);
  Log("MoveFileExA",
      {Text(existing), replacement ? Text(replacement) : Num(0),
       Num(static_cast<long long>(flags))},
      done ? TRUE : FALSE);
  return done ? TRUE : FALSE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR path) {
  fs::path host = Resolve(Redirected(path ? path : ""));
  Entry entry = host.empty() ? Entry{} : Examine(host);
  if (!entry.exists) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return Attributes(entry);
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (S().failSystemDirectory) {
    Fail(ERROR_ACCESS_DENIED);
    return 0;
  }
  const std::string& folder = S().systemDirectory;
  if (size <= folder.size()) return static_cast<UINT>(folder.size() + 1);
  std::memcpy(buffer, folder.c_str(), folder.size() + 1);
  return static_cast<UINT>(folder.size());
}

HRESULT WINAPI SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
  if ((folder & ~CSIDL_FLAG_CREATE) != CSIDL_APPDATA || S().failAppDataFolder) return E_FAIL;
  std::strncpy(path, S().appDataFolder.c_str(), MAX_PATH - 1);
  path[MAX_PATH - 1] = '\0';
  return S_OK;
}

}  // extern "C"
