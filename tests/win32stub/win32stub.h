// Test control of the host Win32 stand-in: set up the registry and the drive,
// script the user's answers, inject the failures a real system rarely shows,
// and read back the ordered log of calls that have effects outside the
// program.
//
// Windows paths live under a fresh temporary folder per Reset(): "C:\A\b"
// is <temp>/C/A/b on the host. Lookups of existing names ignore letter case.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace win32stub {

// Clears everything: registry (HKLM, HKCU and HKEY_USERS empty, no hive
// files), drive (C:\ with the system folder and the application-data
// folder), windows, handles, the token's privileges, call log, scripted
// answers and injected faults. Call it at the start of a test.
void Reset();

// ---- Call log --------------------------------------------------------------
// Logged: registry writes and deletions, hive loading and unloading, the
// token and privilege calls, Sleep, file and folder deletion and
// creation, deletions left for the restart, window class, window, painting
// and drawing calls, message boxes, messages sent, keyboard layout loading,
// font removal, ExitProcess. Arguments appear in the call's own order;
// string arguments as text, every other argument (handles included) as a
// number. A string argument that is a null pointer or an integer resource
// id is a number. Registry calls show the key's full path
// ("HKLM\Software\...") in place of the handle.
using Arg = std::variant<long long, std::string>;

struct Call {
  std::string function;
  std::vector<Arg> args;
  long long result = 0;

  long long Number(std::size_t index) const;
  const std::string& Text(std::size_t index) const;
};

const std::vector<Call>& CallLog();
std::vector<Call> CallsTo(std::string_view function);
std::vector<std::string> CallNames();
void ClearCallLog();

// A handle as the call log shows it.
long long Number(const void* handle);

// ---- Registry --------------------------------------------------------------
// `root` is HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS or a hive
// file's root (HiveFile); `path` names a key below it with "\" separators.
// Keys on the way are created as needed.
void CreateKey(HKEY root, std::string_view path);
void SetValue(HKEY root, std::string_view path, std::string_view name, DWORD type,
              std::string_view bytes);
// A REG_SZ value stored with its terminator, as programs normally write it.
void SetString(HKEY root, std::string_view path, std::string_view name, std::string_view text);

bool KeyExists(HKEY root, std::string_view path);
std::vector<std::string> ValueNames(HKEY root, std::string_view path);
std::vector<std::string> SubkeyNames(HKEY root, std::string_view path);
// The value's data bytes exactly as stored.
std::optional<std::string> ValueBytes(HKEY root, std::string_view path, std::string_view name);
// The value's text: its bytes up to the first terminator.
std::optional<std::string> StringValue(HKEY root, std::string_view path, std::string_view name);

// Opening the key with any of the `denied` rights fails with access denied,
// e.g. DenyAccess(root, path, KEY_SET_VALUE) makes the key open for
// KEY_QUERY_VALUE but not for KEY_ALL_ACCESS. Deleting the key needs DELETE.
void DenyAccess(HKEY root, std::string_view path, REGSAM denied);
// Writing or deleting this value fails with access denied.
void FailValueWrite(HKEY root, std::string_view path, std::string_view name);
void FailValueDelete(HKEY root, std::string_view path, std::string_view name);

// Keys opened by the code under test and not yet closed.
int OpenKeyCount();

// Enumeration: RegEnumKeyExA and RegEnumValueA list names in the order of
// the names without regard to case; a deletion moves the later ones down.

// Hive files, as a user's NTUSER.DAT. PlaceHive makes an empty one (a file
// on the drive) and returns its root for the calls above. RegLoadKeyA (under
// HKEY_USERS, with both privileges enabled) mounts a copy of what the file
// holds; RegUnLoadKeyA writes the hive back into the file, and fails while a
// key in it is open. A hive file that is loaded, or locked with LockFile,
// cannot be loaded (sharing violation); any other file is no hive (ERROR_BADDB).
HKEY PlaceHive(std::string_view windowsPath);
// The root of a hive file placed before: what the file holds now.
HKEY HiveFile(std::string_view windowsPath);
// The next `count` unloads fail, as while another program holds a key open.
void FailHiveUnloads(int count);

// ---- Process token ---------------------------------------------------------
// The token holds the backup, restore and shutdown privileges, disabled, as
// an administrator's does, except those it lacks: enabling one of them
// reports ERROR_NOT_ALL_ASSIGNED.
void LackPrivilege(std::string_view name);
bool PrivilegeEnabled(std::string_view name);
// Token handles opened and not yet closed.
int OpenTokenCount();

// ---- Drive -----------------------------------------------------------------
// Where a Windows path lives on the host (existing names matched without
// regard to case).
std::string HostPath(std::string_view windowsPath);
void MakeFolder(std::string_view windowsPath);  // with missing parents
void MakeFile(std::string_view windowsPath, std::string_view contents = "");  // and its folders
bool Exists(std::string_view windowsPath);
bool IsFolder(std::string_view windowsPath);
// Sets the read-only attribute: DeleteFileA then fails.
void SetReadOnly(std::string_view windowsPath);
// A folder link (reparse point) at `linkPath` to the folder `targetPath`.
void MakeFolderLink(std::string_view linkPath, std::string_view targetPath);
// The file or folder is in use: DeleteFileA or RemoveDirectoryA fails with
// a sharing violation.
void LockFile(std::string_view windowsPath);
// MoveFileExA fails (as without the rights to write the list of file
// operations Windows carries out at the next restart). It only ever
// succeeds for a deletion at the restart: a path, no new name and
// MOVEFILE_DELAY_UNTIL_REBOOT alone, logged as (path, 0, flags).
void FailDelayedMoves();

// The system's ANSI code page (after Reset: 1252). In 950, bytes 0x81-0xFE
// lead a double-byte character whose trail byte may be "\" (0x5C): paths
// and CharNextA step over it. Host file names are the ANSI bytes, except
// that FindFirstFileA hands back the UTF-8 of U+FF3C FULLWIDTH REVERSE
// SOLIDUS as "\", of U+2215 DIVISION SLASH and U+FF0F FULLWIDTH SOLIDUS as
// "/" and of U+FF1A FULLWIDTH COLON as ":", as best-fit mapping does.
void SetAnsiCodePage(UINT codePage);

// Enumerations opened by FindFirstFileA and not yet closed.
int OpenFindCount();

// ExpandEnvironmentStringsA knows SystemDrive (C:), SystemRoot and windir
// (C:\WINDOWS), in any letter case; other variables stay as written.

// Folder queries: GetSystemDirectoryA and SHGetFolderPathA(CSIDL_APPDATA).
// Both folders exist after Reset().
std::string SystemDirectory();  // "C:\WINDOWS\system32"
std::string AppDataFolder();    // "C:\Documents and Settings\Tester\Application Data"
void FailSystemDirectory();
void FailAppDataFolder();

// ---- 64-bit Windows ----------------------------------------------------------
// The Windows the program runs on, as kernel32 shows it to a 32-bit program.
// kNative32 (the default): 32-bit Windows, IsWow64Process answers FALSE.
// kNoIsWow64Process: an older 32-bit Windows whose kernel32 lacks the call.
// kWow64: 64-bit Windows. IsWow64Process answers TRUE; the redirection and
// SysWOW64 calls exist (the program gets them with GetProcAddress, and
// their use is logged); the SysWOW64 folder exists; and DeleteFileA of a
// path in the system folder acts on the same path in SysWOW64 unless the
// program has turned redirection off.
enum class Platform { kNoIsWow64Process, kNative32, kWow64 };
void SetPlatform(Platform platform);
std::string SystemWow64Directory();  // "C:\WINDOWS\SysWOW64"
// Wow64DisableWow64FsRedirection fails.
void FailRedirectionControl();

// ---- Process, windows and the user ----------------------------------------
// What GetStartupInfoA reports (default: no flags).
void SetStartupInfo(DWORD flags, WORD showWindow);
// The instance GetModuleHandleA(nullptr) returns; resources load only with it.
HINSTANCE ModuleInstance();

// Answers for the next message boxes, in order; once used up, boxes answer IDOK.
void QueueMessageBoxAnswer(int answer);

void FailClassRegistration();
void FailWindowCreation();
// What DefWindowProcA returns (default 0).
void SetDefaultWindowProcResult(LRESULT result);

// Windows created and not destroyed.
std::vector<HWND> Windows();

// Bitmaps and device contexts obtained and not yet released.
int LiveGdiObjectCount();

// ExitProcess throws this instead of ending the test process.
struct ProcessExit {
  UINT code;
};

}  // namespace win32stub
