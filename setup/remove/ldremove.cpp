// ldremove.exe: Setup's removal companion, the program that Apps & features,
// deployment tools and the Start-menu shortcut start to remove the package.
//
//   ldremove.exe       uninstall.exe's removal, with its window and its two
//                      boxes: the companion runs it and waits for it
//   ldremove.exe /S    the same removal with no window and no box: the
//                      companion runs uninstall.exe's own steps itself
//
// Either way it then takes back what Setup and the per-user step added
// beyond uninstall.exe: the layout in the input list, the package's
// per-user entries in every user profile on the machine, the Active Setup
// component, the common program group and the Apps & features entry. Any
// other argument is ignored. The exit code is what deployment tools read:
//   0     removed, nothing waits for the restart
//   3010  removed; a file of the package is in use and waits for the
//         restart (the restart's list names a package path)
//   1602  cancelled in uninstall.exe's box: the package's registration is
//         still there, and nothing was changed
//   1603  the removal could not run, or the registration is still there
//         after /S (access denied, say)
//
// A running program's file cannot be deleted, but it can be renamed on its
// volume. So that neither this program nor uninstall.exe keeps the install
// folder for the restart, this program moves its own file into a private
// folder beside the maker folder, which only administrators and SYSTEM may
// write (no program of the package runs elevated from a folder others can
// plant a DLL in), and runs a copy of uninstall.exe from there. It keeps
// running until the end, so that its exit code reaches whoever started it;
// then the system's command interpreter, waiting for this process to end,
// deletes the private folder. Where any of that cannot be done, the files
// wait for the restart as they always did.
#include "uninstall.h"  // windows.h first: sddl.h needs it

#include <sddl.h>

#include "input_list.h"
#include "package_text.h"
#include "pending.h"
#include "profiles.h"

static const wchar_t UninstallerName[] = L"uninstall.exe";
static const wchar_t CompanionName[] = L"ldremove.exe";
static const wchar_t LayoutModuleName[] = L"ldkeys.dll";
static const char LayoutListPath[] = "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
static const char LayoutModuleFileName[] = "ldkeys.dll";
// Written by Setup in the 32-bit view of the registry, which is what this
// 32-bit program sees on 64-bit Windows too.
static const wchar_t EntryPath[] = PACKAGE_WIDE(PACKAGE_ENTRY_PATH);
// What Setup gave InstallLayoutOrTip, "LLLL:KLID"; missing where it made
// no such call. The per-user step records its own call in the user's hive.
static const wchar_t InputListValueName[] = PACKAGE_WIDE(PACKAGE_USER_RECORD);
static const wchar_t UserRecordPath[] = PACKAGE_WIDE(PACKAGE_USER_KEY);
static const wchar_t ShellFoldersPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
static const wchar_t SessionManagerPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
static const wchar_t PendingValueName[] = L"PendingFileRenameOperations";
static const wchar_t PackageFolderName[] = L"Lindorian";
static const char MachineShellFoldersPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
// Full access for SYSTEM and the Administrators group, inherited by what is
// put inside, and nothing inherited from the folder around it.
static const wchar_t PrivateFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

static const DWORD ExitRemoved = 0;              // ERROR_SUCCESS
static const DWORD ExitRestartCompletes = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
static const DWORD ExitCancelled = 1602;         // ERROR_INSTALL_USEREXIT
static const DWORD ExitFailed = 1603;            // ERROR_INSTALL_FAILURE

const DWORD PathCapacity = MAX_PATH;
const DWORD InputListCapacity = 64;
const int KlidCapacity = 9;

// The list of the restart's file operations, read in one piece (static: this
// program allocates nothing).
const DWORD PendingCapacity = 4u << 20;
static PathUnit PendingValue[PendingCapacity / sizeof(PathUnit)];

const int MaxPlaces = 8;
static PackagePlace Places[MaxPlaces];
static int PlaceCount;

// The folders and programs of this run, set once at its start.
static wchar_t SystemFolder[PathCapacity];
static wchar_t InstallFolder[PathCapacity];
static wchar_t CompanionPath[PathCapacity];
// The private folder, empty until made; what of the package is in it.
static wchar_t PrivateFolder[PathCapacity];
static wchar_t MovedCompanion[PathCapacity];
static wchar_t UninstallerCopy[PathCapacity];
static int CompanionMoved;

static DWORD Length(const wchar_t* text) {
  DWORD length = 0;
  while (text[length]) ++length;
  return length;
}

static void Copy(wchar_t* target, const wchar_t* source) {
  DWORD at = 0;
  for (; source[at]; ++at) target[at] = source[at];
  target[at] = 0;
}

// Appends text at *length in target (capacity characters); 0 when it does
// not fit.
static int Append(wchar_t* target, DWORD* length, DWORD capacity, const wchar_t* text) {
  DWORD textLength = Length(text);
  if (*length + textLength >= capacity) return 0;
  for (DWORD at = 0; at <= textLength; ++at) target[*length + at] = text[at];
  *length += textLength;
  return 1;
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

static int FileExists(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static void ClearRecord(void* record, DWORD size) {
  // Byte by byte: an initialiser would call memset, and there is no C
  // runtime to provide it.
  for (BYTE *at = static_cast<BYTE*>(record), *end = at + size; at < end; ++at) *at = 0;
}

// --- the command line ---------------------------------------------------------

static int IsSilentSwitch(const wchar_t* word, DWORD length) {
  return length == 2 && word[0] == L'/' && (word[1] == L's' || word[1] == L'S');
}

// 1 when one of the arguments after the program's name is /S.
static int SilentRequested() {
  const wchar_t* at = GetCommandLineW();
  // The program's name, quoted or not, ends at its closing quote or a space.
  if (*at == L'"') {
    for (++at; *at && *at != L'"'; ++at) {
    }
    if (*at) ++at;
  } else {
    while (*at && *at != L' ' && *at != L'\t') ++at;
  }
  for (;;) {
    while (*at == L' ' || *at == L'\t') ++at;
    if (!*at) return 0;
    const wchar_t* word = at;
    while (*at && *at != L' ' && *at != L'\t') ++at;
    if (IsSilentSwitch(word, static_cast<DWORD>(at - word))) return 1;
  }
}

// --- the layout's registration --------------------------------------------------

// klid := the registration uninstall.exe removes, found as it finds it; 0
// (klid empty) when there is none.
static int FindPackageRegistration(char* klid) {
  klid[0] = 0;
  HKEY layouts;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LayoutListPath, 0, KEY_QUERY_VALUE, &layouts) !=
      ERROR_SUCCESS)
    return 0;
  int found = FindLayoutKey(layouts, klid, LayoutModuleFileName);
  RegCloseKey(layouts);
  if (!found) klid[0] = 0;
  return found;
}

// --- the private folder ------------------------------------------------------------

// Makes a new folder beside the maker folder (on the install folder's
// volume, so that a running program's file can be moved into it), with a
// name no other folder has. 0 when none could be made.
static int MakePrivateFolder() {
  wchar_t parent[PathCapacity];
  Copy(parent, InstallFolder);
  if (!CutLastName(parent) || !CutLastName(parent)) return 0;
  SECURITY_ATTRIBUTES security;
  ClearRecord(&security, sizeof security);
  security.nLength = sizeof security;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          PrivateFolderSecurity, SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr))
    return 0;
  int made = 0;
  DWORD seed = GetCurrentProcessId() << 16 ^ GetTickCount();
  for (int attempt = 0; attempt < 16 && !made; ++attempt) {
    wchar_t name[32];
    wsprintfW(name, L"Lindorian removal %08X", seed + static_cast<DWORD>(attempt));
    // A folder that is already there may be anyone's: never used.
    made = JoinPath(PrivateFolder, parent, name) && CreateDirectoryW(PrivateFolder, &security);
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  LocalFree(security.lpSecurityDescriptor);
  if (!made) PrivateFolder[0] = 0;
  return made;
}

// Moves this program's own file out of the install folder, which can then
// go at once. 0 when it stays where it is.
static int MoveCompanionAside() {
  if (!JoinPath(MovedCompanion, PrivateFolder, CompanionName)) return 0;
  CompanionMoved = MoveFileExW(CompanionPath, MovedCompanion, 0) != 0;
  return CompanionMoved;
}

// The uninstaller to run: a copy in the private folder, or, where there is
// none, the installed one.
static const wchar_t* ChooseUninstaller(const wchar_t* installed) {
  if (PrivateFolder[0] && JoinPath(UninstallerCopy, PrivateFolder, UninstallerName) &&
      CopyFileW(installed, UninstallerCopy, TRUE))
    return UninstallerCopy;
  UninstallerCopy[0] = 0;
  return installed;
}

// After a cancel, or a removal that did not happen: this program back in
// its place, so that the package stays as it was.
static void PutCompanionBack() {
  if (!CompanionMoved) return;
  // A silent removal that failed halfway may have taken the folders: the
  // companion stays for the next try all the same.
  wchar_t makerFolder[PathCapacity];
  Copy(makerFolder, InstallFolder);
  if (CutLastName(makerFolder)) CreateDirectoryW(makerFolder, nullptr);
  CreateDirectoryW(InstallFolder, nullptr);
  if (!MoveFileExW(MovedCompanion, CompanionPath, 0))
    CopyFileW(MovedCompanion, CompanionPath, TRUE);
}

// The command interpreter deletes the private folder once this process has
// ended: it waits on standard input, a pipe whose other end only this
// process holds, which the system closes when the process ends. Two more
// tries, a second and two seconds later, cover the moment between that and
// the unmapping of this program's file. Its output goes nowhere, and
// nothing in the command depends on cmd's parsing of blocks or
// redirections. 0 when it could not be started.
static int StartFolderCleaner() {
  for (const wchar_t* c = PrivateFolder; *c; ++c)
    if (*c == L'%' || *c == L'"' || *c < 0x20) return 0;  // never in cmd's command line
  wchar_t interpreter[PathCapacity];
  wchar_t ping[PathCapacity];
  if (!JoinPath(interpreter, SystemFolder, L"cmd.exe") ||
      !JoinPath(ping, SystemFolder, L"ping.exe"))
    return 0;
  // Quoted throughout: cmd takes the first and last quote of /c's text
  // away and runs the rest.
  const wchar_t* parts[] = {L"\"",
                            interpreter,
                            L"\" /d /q /v:off /c \"set /p LindorianWait= & ",
                            L"rd /s /q \"",
                            PrivateFolder,
                            L"\" & \"",
                            ping,
                            L"\" -n 2 127.0.0.1 & ",
                            L"rd /s /q \"",
                            PrivateFolder,
                            L"\" & \"",
                            ping,
                            L"\" -n 3 127.0.0.1 & ",
                            L"rd /s /q \"",
                            PrivateFolder,
                            L"\"\""};
  static wchar_t commandLine[8 * PathCapacity];
  DWORD length = 0;
  for (const wchar_t* part : parts)
    if (!Append(commandLine, &length, 8 * PathCapacity, part)) return 0;

  SECURITY_ATTRIBUTES inherited;
  ClearRecord(&inherited, sizeof inherited);
  inherited.nLength = sizeof inherited;
  inherited.bInheritHandle = TRUE;
  HANDLE waitEnd, heldEnd;
  if (!CreatePipe(&waitEnd, &heldEnd, &inherited, 0)) return 0;
  SetHandleInformation(heldEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup;
  ClearRecord(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = waitEnd;
  startup.hStdOutput = nothing;
  startup.hStdError = nothing;
  PROCESS_INFORMATION process;
  int started = CreateProcessW(interpreter, commandLine, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                               nullptr, SystemFolder, &startup, &process);
  if (started) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(waitEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  // heldEnd stays open until this process ends.
  if (!started) CloseHandle(heldEnd);
  return started;
}

// Empties the private folder of what is no longer running, and has what
// still runs (this program) deleted after the end. 1 when something of the
// package now waits for the restart instead.
static int FinishPrivateFolder() {
  if (!PrivateFolder[0]) return 0;
  if (UninstallerCopy[0]) DeleteFileW(UninstallerCopy);
  if (!CompanionMoved || !FileExists(MovedCompanion)) {
    RemoveDirectoryW(PrivateFolder);
    return 0;
  }
  if (StartFolderCleaner()) return 0;
  MoveFileExW(MovedCompanion, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  MoveFileExW(PrivateFolder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 1;
}

// --- the removal ----------------------------------------------------------------

// Starts the uninstaller with the system folder as its current folder, as
// its shortcut did: it removes the install folder, which a current folder
// would keep. Waits for it to end; 0 when it cannot be started.
static int RunUninstaller(const wchar_t* uninstaller) {
  wchar_t commandLine[PathCapacity + 2];
  DWORD length = Length(uninstaller);
  commandLine[0] = L'"';
  for (DWORD at = 0; at < length; ++at) commandLine[1 + at] = uninstaller[at];
  commandLine[length + 1] = L'"';
  commandLine[length + 2] = 0;

  STARTUPINFOW startup;
  ClearRecord(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(uninstaller, commandLine, nullptr, nullptr, FALSE, 0, nullptr, SystemFolder,
                      &startup, &process))
    return 0;
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hProcess);
  return 1;
}

// Takes the layout out of the running user's input list with the string it
// was put in with. Where the call cannot be made or fails, nothing else
// changes.
static void RemoveFromInputList(const wchar_t* entry) {
  if (entry[0]) CallInstallLayoutOrTip(entry, ILOT_UNINSTALL);
}

static int SameText(const wchar_t* first, const wchar_t* second) {
  return lstrcmpW(first, second) == 0;
}

// The common program group of an installation for all users: Setup's, as
// uninstall.exe knows only the user's own. Removed under the same rules.
static void RemoveCommonProgramGroup(char* group) {
  HKEY shellFolders;
  group[0] = 0;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MachineShellFoldersPath, 0, KEY_QUERY_VALUE,
                    &shellFolders) != ERROR_SUCCESS)
    return;
  char programs[MAX_PATH];
  if (ReadStringValue(shellFolders, "Common Programs", programs, MAX_PATH) &&
      IsResolved(programs) && JoinPath(group, programs, "Lindorian"))
    RemoveTree(group);
  RegCloseKey(shellFolders);
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

static void AddAnsiPlace(const char* path, int withContents) {
  wchar_t wide[PathCapacity];
  if (path[0] && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, PathCapacity))
    AddPlace(wide, withContents);
}

// The package's places as uninstall.exe and Setup name them: the install
// folder and the program groups with everything in them, the maker folder,
// the fonts and the module copies by their System32 and SysWOW64 names.
static void FindPackagePlaces(const char* commonGroup) {
  wchar_t folder[PathCapacity];
  AddPlace(InstallFolder, 1);
  Copy(folder, InstallFolder);
  if (CutLastName(folder)) AddPlace(folder, 0);
  int found = ReadKeyString(HKEY_CURRENT_USER, ShellFoldersPath, L"Programs", folder, PathCapacity);
  AddPlaceIn(found, folder, PackageFolderName, 1);
  AddAnsiPlace(commonGroup, 1);
  found = ReadKeyString(HKEY_CURRENT_USER, ShellFoldersPath, L"Fonts", folder, PathCapacity);
  AddPlaceIn(found, folder, L"ldser.ttf", 0);
  AddPlaceIn(found, folder, L"ldfix.ttf", 0);
  AddPlaceIn(1, SystemFolder, LayoutModuleName, 0);
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

static int FindOwnFolders() {
  DWORD length = GetSystemDirectoryW(SystemFolder, PathCapacity);
  if (length == 0 || length >= PathCapacity) return 0;
  length = GetModuleFileNameW(nullptr, CompanionPath, PathCapacity);
  if (length == 0 || length >= PathCapacity) return 0;
  Copy(InstallFolder, CompanionPath);
  return CutLastName(InstallFolder);
}

// What Setup and the per-user step added beyond uninstall.exe, once its
// removal is done: the running user's input list, every profile's entries,
// the Active Setup component, the common group and the entry.
static void RemoveSetupAdditions(const wchar_t* inputListEntry, const char* klid,
                                 char* commonGroup) {
  RemoveFromInputList(inputListEntry);
  wchar_t userEntry[InputListCapacity];
  if (ReadKeyString(HKEY_CURRENT_USER, UserRecordPath, InputListValueName, userEntry,
                    InputListCapacity) &&
      !SameText(userEntry, inputListEntry))
    RemoveFromInputList(userEntry);
  RemovePackageFromEveryProfile(klid);
  RemoveActiveSetupComponent();
  RemoveCommonProgramGroup(commonGroup);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EntryPath);
}

static DWORD RemovePackage(int silent) {
  if (!FindOwnFolders()) return ExitFailed;
  wchar_t installedUninstaller[PathCapacity];
  if (!JoinPath(installedUninstaller, InstallFolder, UninstallerName)) return ExitFailed;
  // Whatever folder this program was started in must not stay held while
  // the install folder goes.
  SetCurrentDirectoryW(SystemFolder);
  if (!silent && !FileExists(installedUninstaller)) return ExitFailed;

  // Read before the removal: the registration and the entry go with it.
  // The folders are found as uninstall.exe finds them (which makes those
  // that are missing, as it does), for the rules applied to every profile.
  ResolvePackagePaths();
  char klid[KlidCapacity];
  FindPackageRegistration(klid);
  wchar_t inputListEntry[InputListCapacity];
  if (!ReadKeyString(HKEY_LOCAL_MACHINE, EntryPath, InputListValueName, inputListEntry,
                     InputListCapacity))
    inputListEntry[0] = 0;

  if (MakePrivateFolder()) MoveCompanionAside();
  if (silent) {
    RunRemovalSteps();
  } else if (!RunUninstaller(ChooseUninstaller(installedUninstaller))) {
    PutCompanionBack();
    FinishPrivateFolder();
    return ExitFailed;
  }
  char stillThere[KlidCapacity];
  if (FindPackageRegistration(stillThere)) {
    PutCompanionBack();
    FinishPrivateFolder();
    return silent ? ExitFailed : ExitCancelled;
  }

  char commonGroup[MAX_PATH];
  RemoveSetupAdditions(inputListEntry, klid, commonGroup);
  FindPackagePlaces(commonGroup);
  int waits = PackageWaitsForRestart();
  waits |= FinishPrivateFolder();
  return waits ? ExitRestartCompletes : ExitRemoved;
}

extern "C" void WINAPI CompanionStart() { ExitProcess(RemovePackage(SilentRequested())); }
