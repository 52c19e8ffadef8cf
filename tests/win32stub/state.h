// Internal state of the Win32 stand-in, shared by its source files.
#pragma once

#include "win32stub.h"

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace win32stub::detail {

// Orders names as Windows compares registry and file names: ASCII letters
// without regard to case, other bytes as they are.
struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const;
};
bool EqualNoCase(std::string_view a, std::string_view b);
std::string Upper(std::string_view text);

struct RegValue {
  DWORD type = REG_NONE;
  std::string data;
};

struct RegKey {
  std::string name;
  std::map<std::string, std::shared_ptr<RegKey>, NoCase> subkeys;
  std::map<std::string, RegValue, NoCase> values;
  REGSAM denied = 0;
  std::set<std::string, NoCase> failingWrites;
  std::set<std::string, NoCase> failingDeletes;
};

struct OpenKey {
  std::shared_ptr<RegKey> key;
  std::string path;  // "HKLM\Software\..." for the log
  REGSAM access;
};

struct OpenFind {
  std::vector<WIN32_FIND_DATAA> entries;
  std::size_t next = 0;
};

struct WindowClass {
  std::string name;
  WNDPROC procedure;
};

struct Window {
  HWND handle;
  WNDPROC procedure;
  bool visible = false;
  bool needsPaint = false;
};

struct State {
  std::filesystem::path root;  // the drive folders live here
  std::shared_ptr<RegKey> localMachine, currentUser, users;
  std::map<std::uintptr_t, OpenKey> openKeys;
  // Hive files: what each holds (by host path), the test's handles for
  // them, and the hives loaded under HKEY_USERS with the file of each.
  std::map<std::string, std::shared_ptr<RegKey>> hiveFiles;
  std::map<std::uintptr_t, std::string> hiveFileRoots;
  std::map<std::string, std::string, NoCase> loadedHives;
  int failingUnloads = 0;
  std::map<std::uintptr_t, OpenFind> openFinds;
  std::set<std::string> lockedFiles;  // host paths
  bool failDelayedMoves = false;

  std::string systemDirectory, appDataFolder;
  UINT ansiCodePage = 1252;
  bool failSystemDirectory = false, failAppDataFolder = false;

  std::vector<Call> log;
  std::vector<int> answers;
  bool failClassRegistration = false, failWindowCreation = false;
  LRESULT defaultWindowProcResult = 0;
  DWORD startupFlags = 0;
  WORD startupShowWindow = 0;

  std::vector<WindowClass> classes;
  std::vector<Window> windows;
  std::set<std::uintptr_t> bitmaps;              // loaded, not deleted
  std::map<std::uintptr_t, std::uintptr_t> dcs;  // live DC -> selected object
  std::uintptr_t nextHandle = 0x10000;
  DWORD lastError = 0;

  // The process token (token.cpp): open handles with their access, the
  // privileges enabled in it and those it lacks.
  std::map<std::uintptr_t, DWORD> tokens;
  std::set<std::string, NoCase> enabledPrivileges, missingPrivileges;

  win32stub::Platform platform = win32stub::Platform::kNative32;  // wow64.cpp
  bool redirectionOff = false, failRedirectionControl = false;

  ~State();
};

State& S();
std::uintptr_t NewHandle();
void Fail(DWORD error);

// Logging helpers: text for a string pointer, a number for anything else.
Arg Text(LPCSTR text);
Arg Num(long long value);
Arg Handle(const void* handle);
void Log(std::string function, std::vector<Arg> args, long long result);

// Length in bytes of the character that starts at `text`: 2 for a lead
// byte and its trail byte in code page 950, else 1 (0 at the terminator).
std::size_t CharacterLength(std::string_view text);

// Host path of a Windows path; empty when it cannot be mapped (too long,
// a network path, or a drive without a folder).
std::filesystem::path Resolve(std::string_view windowsPath);

// The path a file call of the program acts on: under WOW64 with
// redirection on, a path in the system folder becomes one in SysWOW64.
std::string Redirected(std::string_view windowsPath);
// The handle GetModuleHandleA gives for kernel32.dll.
HMODULE Kernel32Module();

// Both privileges that loading and unloading a hive need are enabled.
bool HoldsHivePrivileges();

LRESULT Deliver(Window& window, UINT message, WPARAM wParam, LPARAM lParam);
void ResetRegistry();

}  // namespace win32stub::detail
