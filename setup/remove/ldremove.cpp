// ldremove.exe: Setup's removal companion, the program that Apps & features,
// deployment tools and the Start-menu shortcut start to remove the package.
// uninstall.exe does the removal itself, with its window, its two boxes and
// its steps; this program runs it from its own folder, waits for it, and
// then takes back what Setup added beyond it: the Apps & features entry and
// the layout in the user's input list on Windows 8 and later.
//
// It removes nothing that uninstall.exe removes, and needs no arguments: a
// command line is ignored. The exit code is what deployment tools read:
//   0     removed
//   3010  removed; a restart deletes what was in use (the restart's list
//         names a package path)
//   1602  cancelled in uninstall.exe's box: the package's registration is
//         still there, and nothing was changed
//   1603  uninstall.exe is missing or did not start; nothing was changed
//
// It runs in place, never from a copy elsewhere, so the code reaches
// whoever started it. Running, its file cannot be deleted: uninstall.exe
// leaves it, with the install folder, to the restart.
#include <windows.h>

#include "pending.h"

static const wchar_t UninstallerName[] = L"uninstall.exe";
static const wchar_t LayoutListPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
static const wchar_t LayoutModuleName[] = L"ldkeys.dll";
static const unsigned PackageLanguageId = 0x0628;
static const unsigned LastVariantNumber = 0xFFFF;
// Written by Setup in the 32-bit view of the registry, which is what this
// 32-bit program sees on 64-bit Windows too.
static const wchar_t EntryPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Lindorian";
// What Setup gave InstallLayoutOrTip, "LLLL:KLID"; missing where it made
// no such call.
static const wchar_t InputListValueName[] = L"InstalledLayoutOrTip";
static const wchar_t ShellFoldersPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
static const wchar_t SessionManagerPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const wchar_t PendingValueName[] = L"PendingFileRenameOperations";

static const DWORD ExitRemoved = 0;              // ERROR_SUCCESS
static const DWORD ExitRestartCompletes = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
static const DWORD ExitCancelled = 1602;         // ERROR_INSTALL_USEREXIT
static const DWORD ExitFailed = 1603;            // ERROR_INSTALL_FAILURE
static const DWORD ILOT_UNINSTALL = 0x00000001;  // input.dll's flag to remove

const DWORD PathCapacity = MAX_PATH;
const DWORD InputListCapacity = 64;
// A registration's layout file is a short file name.
const DWORD LayoutFileCapacity = 16;

// The list of the restart's file operations, read in one piece (static: this
// program allocates nothing).
const DWORD PendingCapacity = 4u << 20;
static PathUnit PendingValue[PendingCapacity / sizeof(PathUnit)];

const int MaxPlaces = 8;
static PackagePlace Places[MaxPlaces];
static int PlaceCount;

static DWORD Length(const wchar_t* text) {
  DWORD length = 0;
  while (text[length]) ++length;
  return length;
}

// target := first + "\" + second; 0 when it does not fit.
static int JoinPath(wchar_t* target, const wchar_t* first, const wchar_t* second) {
  DWORD firstLength = Length(first);
  DWORD secondLength = Length(second);
  if (firstLength + 1 + secondLength >= PathCapacity) return 0;
  for (DWORD at = 0; at < firstLength; ++at) target[at] = first[at];
  target[firstLength] = L'\\';
  for (DWORD at = 0; at <= secondLength; ++at) target[firstLength + 1 + at] = second[at];
  return 1;
}

// Cuts the last name off path; 0 when there is none to cut.
static int CutLastName(wchar_t* path) {
  DWORD separator = Length(path);
  while (separator > 0 && path[separator - 1] != L'\\') --separator;
  if (separator < 2) return 0;
  path[separator - 1] = 0;
  return 1;
}

// Reads a string value of at most capacity - 1 characters, terminated.
static int ReadString(HKEY key, const wchar_t* name, wchar_t* value, DWORD capacity) {
  DWORD type = 0;
  DWORD size = (capacity - 1) * sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return 0;
  value[size / sizeof(wchar_t)] = 0;
  return value[0] != 0;
}

static int ReadKeyString(HKEY root, const wchar_t* path, const wchar_t* name, wchar_t* value,
                         DWORD capacity) {
  HKEY key;
  if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 0;
  int found = ReadString(key, name, value, capacity);
  RegCloseKey(key);
  return found;
}

static void FormatKlid(wchar_t* klid, unsigned variant) {
  const wchar_t digits[] = L"0123456789ABCDEF";
  unsigned value = variant << 16 | PackageLanguageId;
  for (int at = 7; at >= 0; --at, value >>= 4) klid[at] = digits[value & 0xF];
  klid[8] = 0;
}

// 1 while uninstall.exe would still find the package's registration: it
// tries 00000628, 00010628, ... up to the first missing one, for the one
// whose layout file is ldkeys.dll, and removes it once the user confirms.
static int LayoutStillRegistered() {
  HKEY layouts;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LayoutListPath, 0, KEY_ENUMERATE_SUB_KEYS, &layouts) !=
      ERROR_SUCCESS)
    return 0;
  int found = 0;
  for (unsigned variant = 0; variant <= LastVariantNumber && !found; ++variant) {
    wchar_t klid[9];
    FormatKlid(klid, variant);
    wchar_t layoutFile[LayoutFileCapacity];
    HKEY layout;
    if (RegOpenKeyExW(layouts, klid, 0, KEY_QUERY_VALUE, &layout) != ERROR_SUCCESS) break;
    found = ReadString(layout, L"Layout File", layoutFile, LayoutFileCapacity) &&
            lstrcmpiW(layoutFile, LayoutModuleName) == 0;
    RegCloseKey(layout);
  }
  RegCloseKey(layouts);
  return found;
}

// Starts uninstall.exe with the system folder as its current folder, as its
// shortcut did: it removes the install folder, which a current folder would
// keep. Waits for it to end; 0 when it cannot be started.
static int RunUninstaller(const wchar_t* uninstaller, const wchar_t* systemFolder) {
  wchar_t commandLine[PathCapacity + 2];
  DWORD length = Length(uninstaller);
  commandLine[0] = L'"';
  for (DWORD at = 0; at < length; ++at) commandLine[1 + at] = uninstaller[at];
  commandLine[length + 1] = L'"';
  commandLine[length + 2] = 0;

  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  // Filled byte by byte: an initialiser would call memset, and there is no
  // C runtime to provide it.
  for (BYTE *at = reinterpret_cast<BYTE*>(&startup), *end = at + sizeof startup; at < end; ++at)
    *at = 0;
  startup.cb = sizeof startup;
  if (!CreateProcessW(uninstaller, commandLine, nullptr, nullptr, FALSE, 0, nullptr, systemFolder,
                      &startup, &process))
    return 0;
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  return 1;
}

// Takes the layout out of the user's input list with the string Setup put
// it in with. Where input.dll or its export is missing (before Windows 8),
// or the call fails, nothing else changes.
typedef BOOL(WINAPI* InstallLayoutOrTipCall)(const wchar_t*, DWORD);

static void RemoveFromInputList(const wchar_t* entry, const wchar_t* systemFolder) {
  wchar_t library[PathCapacity];
  if (!entry[0] || !JoinPath(library, systemFolder, L"input.dll")) return;
  HMODULE input = LoadLibraryW(library);
  if (!input) return;
  InstallLayoutOrTipCall installLayoutOrTip = reinterpret_cast<InstallLayoutOrTipCall>(
      reinterpret_cast<void*>(GetProcAddress(input, "InstallLayoutOrTip")));
  if (installLayoutOrTip) installLayoutOrTip(entry, ILOT_UNINSTALL);
  FreeLibrary(input);
}

// Adds the place path names, unless it is empty or cannot name one.
static void AddPlace(const wchar_t* path, int withContents) {
  if (PlaceCount < MaxPlaces && MakePackagePlace(&Places[PlaceCount], path, withContents))
    ++PlaceCount;
}

// Adds the place folder\name, for a folder that was found.
static void AddPlaceIn(int found, const wchar_t* folder, const wchar_t* name, int withContents) {
  wchar_t path[PathCapacity];
  if (found && JoinPath(path, folder, name)) AddPlace(path, withContents);
}

// The package's places as uninstall.exe and Setup name them: the install
// folder and the program group with everything in them, the maker folder,
// the fonts and the module copies by their System32 and SysWOW64 names.
static void FindPackagePlaces(const wchar_t* installFolder, const wchar_t* systemFolder) {
  wchar_t folder[PathCapacity];
  AddPlace(installFolder, 1);
  for (DWORD at = 0, length = Length(installFolder); at <= length; ++at)
    folder[at] = installFolder[at];
  if (CutLastName(folder)) AddPlace(folder, 0);
  int found = ReadKeyString(HKEY_CURRENT_USER, ShellFoldersPath, L"Programs", folder, PathCapacity);
  AddPlaceIn(found, folder, L"Lindorian", 1);
  found = ReadKeyString(HKEY_CURRENT_USER, ShellFoldersPath, L"Fonts", folder, PathCapacity);
  AddPlaceIn(found, folder, L"ldser.ttf", 0);
  AddPlaceIn(found, folder, L"ldfix.ttf", 0);
  AddPlaceIn(1, systemFolder, LayoutModuleName, 0);
  UINT length = GetSystemWindowsDirectoryW(folder, PathCapacity);
  found = length > 0 && length < PathCapacity;
  wchar_t wow64Folder[PathCapacity];
  AddPlaceIn(found && JoinPath(wow64Folder, folder, L"SysWOW64"), wow64Folder, LayoutModuleName, 0);
}

// 1 when the restart's list names one of the package's places, or is too
// long to read: then a restart is asked for rather than left out.
static int PackageWaitsForRestart() {
  HKEY sessionManager;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SessionManagerPath, 0, KEY_QUERY_VALUE, &sessionManager) !=
      ERROR_SUCCESS)
    return 0;
  DWORD type = 0;
  DWORD size = PendingCapacity;
  LONG read = RegQueryValueExW(sessionManager, PendingValueName, nullptr, &type,
                               reinterpret_cast<BYTE*>(PendingValue), &size);
  RegCloseKey(sessionManager);
  if (read == ERROR_MORE_DATA) return 1;
  return read == ERROR_SUCCESS && type == REG_MULTI_SZ &&
         WaitsForPlace(PendingValue, size / sizeof(PathUnit), Places, PlaceCount);
}

static DWORD RemovePackage() {
  wchar_t systemFolder[PathCapacity];
  wchar_t installFolder[PathCapacity];
  wchar_t uninstaller[PathCapacity];
  DWORD length = GetSystemDirectoryW(systemFolder, PathCapacity);
  if (length == 0 || length >= PathCapacity) return ExitFailed;
  length = GetModuleFileNameW(nullptr, installFolder, PathCapacity);
  if (length == 0 || length >= PathCapacity || !CutLastName(installFolder) ||
      !JoinPath(uninstaller, installFolder, UninstallerName))
    return ExitFailed;
  // Whatever folder this program was started in must not stay held while
  // uninstall.exe removes it.
  SetCurrentDirectoryW(systemFolder);

  // Read before the removal: the entry goes with it.
  wchar_t inputListEntry[InputListCapacity];
  if (!ReadKeyString(HKEY_LOCAL_MACHINE, EntryPath, InputListValueName, inputListEntry,
                     InputListCapacity))
    inputListEntry[0] = 0;

  if (!RunUninstaller(uninstaller, systemFolder)) return ExitFailed;
  if (LayoutStillRegistered()) return ExitCancelled;

  RemoveFromInputList(inputListEntry, systemFolder);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EntryPath);
  FindPackagePlaces(installFolder, systemFolder);
  return PackageWaitsForRestart() ? ExitRestartCompletes : ExitRemoved;
}

extern "C" void WINAPI CompanionStart() { ExitProcess(RemovePackage()); }
