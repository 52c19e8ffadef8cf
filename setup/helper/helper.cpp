// ldsetup.dll: what lindorian-setup.exe cannot do well in its own script.
// Setup unpacks it into its plug-ins folder and calls it through the System
// plug-in (32-bit, stdcall, undecorated names), unloading it after each
// call so that the folder can go when Setup ends; it is never installed.
//
//   DropPendingDeletions(installFolder, programGroup, path1, ... path6)
//       takes out of the restart's list the deletions of the two folders
//       and everything in them, and of path1 to path6 themselves (empty
//       ones stand for nothing); 1 when done or nothing was pending
//   SameFileContents(first, second)
//       1 when both files hold the same bytes
//   RunsAsLocalSystem()
//       1 when Setup's process runs as LocalSystem (S-1-5-18), as
//       deployment tools start it; 0 otherwise, or when its token cannot
//       be read
//
// The paths come from the ANSI script and are made into the names the
// system records for the uninstaller's MoveFileExA: converted from the ANSI
// code page and made full. The list itself is read and written with the W
// calls only, so that other products' entries keep every character,
// whatever the code page.
#include <windows.h>

#include "account.h"
#include "pending.h"

// What the System plug-in calls: plain names, stdcall, an int back.
#define ExportedInt extern "C" __declspec(dllexport) int WINAPI

static const wchar_t SessionManagerPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const wchar_t PendingValueName[] = L"PendingFileRenameOperations";

const int MaxPlaces = 8;
static PackagePlace Places[MaxPlaces];
static int PlaceCount;

// The list in one piece, with room to spare: static, as this helper
// allocates nothing. A longer list is reported rather than cut.
const DWORD ValueCapacity = 4u << 20;
static PathUnit Value[ValueCapacity / sizeof(PathUnit)];

const DWORD ChunkSize = 64u << 10;
static BYTE FirstChunk[ChunkSize];
static BYTE SecondChunk[ChunkSize];

extern "C" BOOL WINAPI HelperEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// Adds the package place path (ANSI, any form) names; an empty path adds
// nothing. 0 when it cannot name one.
static int AddPlace(const char* path, int withContents) {
  wchar_t wide[PlaceCapacity];
  wchar_t full[PlaceCapacity];
  if (!path[0]) return 1;
  if (PlaceCount == MaxPlaces || !MultiByteToWideChar(CP_ACP, 0, path, -1, wide, PlaceCapacity))
    return 0;
  DWORD length = GetFullPathNameW(wide, PlaceCapacity, full, nullptr);
  if (length == 0 || length >= PlaceCapacity) return 0;
  if (!MakePackagePlace(&Places[PlaceCount], full, withContents)) return 0;
  ++PlaceCount;
  return 1;
}

// Writes back the list read into Value (size bytes of type) without the
// package's deletions: deleted when nothing else is left in it, untouched
// when none was there. A value of another type or of an odd size is not a
// list of pairs, and stays as it is.
static int RewriteList(HKEY sessionManager, DWORD type, DWORD size) {
  if (type != REG_MULTI_SZ || size % sizeof(PathUnit)) return 1;
  unsigned dropped;
  unsigned units =
      DropPackageDeletions(Value, size / sizeof(PathUnit), Places, PlaceCount, &dropped);
  if (!dropped) return 1;
  if (IsEmptyList(Value, units)) return RegDeleteValueW(sessionManager, PendingValueName) == 0;
  return RegSetValueExW(sessionManager, PendingValueName, 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(Value), units * sizeof(PathUnit)) == 0;
}

// Session Manager is there on every Windows NT; without it nothing waits.
static int DropFromList() {
  HKEY sessionManager;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManagerPath, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, &sessionManager);
  if (opened == ERROR_FILE_NOT_FOUND) return 1;
  if (opened != ERROR_SUCCESS) return 0;
  DWORD type = 0;
  DWORD size = ValueCapacity;
  LONG read = RegQueryValueExW(sessionManager, PendingValueName, nullptr, &type,
                               reinterpret_cast<BYTE*>(Value), &size);
  int done = read == ERROR_FILE_NOT_FOUND;
  if (read == ERROR_SUCCESS) done = RewriteList(sessionManager, type, size);
  RegCloseKey(sessionManager);
  return done;
}

ExportedInt DropPendingDeletions(const char* installFolder, const char* programGroup,
                                 const char* path1, const char* path2, const char* path3,
                                 const char* path4, const char* path5, const char* path6) {
  PlaceCount = 0;
  if (!AddPlace(installFolder, 1) || !AddPlace(programGroup, 1) || !AddPlace(path1, 0) ||
      !AddPlace(path2, 0) || !AddPlace(path3, 0) || !AddPlace(path4, 0) || !AddPlace(path5, 0) ||
      !AddPlace(path6, 0))
    return 0;
  return DropFromList();
}

// Opened for reading only, sharing everything: a file a program holds, or
// one the system has loaded, can still be read.
static HANDLE OpenForReading(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

static int SameSize(HANDLE first, HANDLE second) {
  DWORD firstHigh, secondHigh;
  DWORD firstLow = GetFileSize(first, &firstHigh);
  DWORD secondLow = GetFileSize(second, &secondHigh);
  return firstLow != INVALID_FILE_SIZE && firstLow == secondLow && firstHigh == secondHigh;
}

static int SameBytes(HANDLE first, HANDLE second) {
  for (;;) {
    DWORD firstRead, secondRead;
    if (!ReadFile(first, FirstChunk, ChunkSize, &firstRead, nullptr) ||
        !ReadFile(second, SecondChunk, ChunkSize, &secondRead, nullptr) || firstRead != secondRead)
      return 0;
    if (!firstRead) return 1;
    for (DWORD at = 0; at < firstRead; ++at)
      if (FirstChunk[at] != SecondChunk[at]) return 0;
  }
}

// Paths are the script's ANSI strings, and so are the names it writes
// files under. Whatever cannot be read counts as different.
ExportedInt SameFileContents(const char* first, const char* second) {
  HANDLE firstFile = OpenForReading(first);
  if (firstFile == INVALID_HANDLE_VALUE) return 0;
  HANDLE secondFile = OpenForReading(second);
  int same = 0;
  if (secondFile != INVALID_HANDLE_VALUE) {
    same = SameSize(firstFile, secondFile) && SameBytes(firstFile, secondFile);
    CloseHandle(secondFile);
  }
  CloseHandle(firstFile);
  return same;
}

// The process token's user, not a thread's: Setup impersonates no one.
ExportedInt RunsAsLocalSystem() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 0;
  // TOKEN_USER and the SID it points to, which follows it: room for the
  // longest SID (15 sub-authorities) and more.
  DWORD buffer[64];
  DWORD size = 0;
  int localSystem = 0;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    if (IsValidSid(sid))
      localSystem = IsLocalSystemSid(static_cast<const unsigned char*>(sid), GetLengthSid(sid));
  }
  CloseHandle(token);
  return localSystem;
}
