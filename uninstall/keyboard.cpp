// Keyboard layout deregistration: the system-wide registration, the user's
// preload entry and the layout module file.
#include "uninstall.h"

static const char LayoutListPath[] = "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
static const char PreloadListPath[] = "keyboard layout\\preload";
static const char LayoutModuleFileName[] = "ldkeys.dll";
static const int PackageLanguageId = 0x0628;

// A KLID is eight hex characters: variant number, then language half.
static const int KlidLength = 8;
static const int KlidCapacity = KlidLength + 1;

// Registration values hold a short file name; preload values one KLID.
static const DWORD LayoutFileCapacity = 16;
static const DWORD PreloadValueCapacity = KlidCapacity;

// The preload search and the replacement scan look at names 1 to 999.
static const int LastScannedPreloadName = 999;
// Variant numbers have four hex digits; a fifth would not fit a KLID.
static const int LastVariantNumber = 0xFFFF;
// The gap is closed up to the end of the list however long it is; names
// are held in a buffer large enough for any int in decimal.
static const int LastPreloadName = 0x7FFFFFFF;
static const int PreloadNameCapacity = 16;

static void FormatPreloadName(char* name, int number) { wsprintfA(name, "%i", number); }

// Reads the preload value named by the decimal number; 0 when it is missing
// or longer than a KLID.
static int ReadPreloadValue(HKEY preloadKey, int number, char* value) {
  char name[PreloadNameCapacity];
  FormatPreloadName(name, number);
  return ReadStringValue(preloadKey, name, value, PreloadValueCapacity);
}

int FindLayoutKey(HKEY layoutsKey, char* klidOut, const char* moduleFileName) {
  for (int variant = 0; variant <= LastVariantNumber; ++variant) {
    wsprintfA(klidOut, "%04X%04X", variant, PackageLanguageId);
    HKEY layout;
    // Installers number their layouts consecutively, so the first
    // missing variant ends the search.
    if (RegOpenKeyExA(layoutsKey, klidOut, 0, KEY_QUERY_VALUE, &layout) != ERROR_SUCCESS) return 0;
    char layoutFile[LayoutFileCapacity];
    int found = ReadStringValue(layout, "layout file", layoutFile, LayoutFileCapacity) &&
                lstrcmpiA(layoutFile, moduleFileName) == 0;
    RegCloseKey(layout);
    if (found) return 1;
  }
  return 0;
}

// Moves every entry after `removed` down one name and drops the last name.
// The walk follows the list to its end, past name 999 too, so a long list
// keeps every entry and gains no duplicate.
static int ClosePreloadGap(HKEY preloadKey, int removed) {
  char name[PreloadNameCapacity];
  char value[PreloadValueCapacity];
  int current = removed;
  for (; current < LastPreloadName; ++current) {
    if (!ReadPreloadValue(preloadKey, current + 1, value)) break;
    FormatPreloadName(name, current);
    if (RegSetValueExA(preloadKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       lstrlenA(value) + 1) != ERROR_SUCCESS)
      return 0;
  }
  FormatPreloadName(name, current);
  return RegDeleteValueA(preloadKey, name) == ERROR_SUCCESS;
}

int RemovePreloadEntry(HKEY preloadKey, const char* klid) {
  char value[PreloadValueCapacity];
  for (int number = 1; number <= LastScannedPreloadName; ++number) {
    if (!ReadPreloadValue(preloadKey, number, value)) return 1;
    // Exact match: the preload list holds KLIDs as the system wrote them.
    if (lstrcmpA(value, klid) == 0) return ClosePreloadGap(preloadKey, number);
  }
  return 0;
}

// Characters 5 to 8 of a KLID are its language half. A value shorter than a
// KLID has no language half, whatever bytes follow its terminator.
static int HasSameLanguageHalf(const char* value, const char* klid) {
  if (lstrlenA(value) != KlidLength) return 0;
  for (int index = 4; index < KlidLength; ++index) {
    if (value[index] != klid[index]) return 0;
  }
  return 1;
}

int ActivateReplacementLayout(HKEY preloadKey, const char* klid) {
  char value[PreloadValueCapacity];
  for (int number = 1; number <= LastScannedPreloadName; ++number) {
    if (!ReadPreloadValue(preloadKey, number, value)) return 1;
    if (HasSameLanguageHalf(value, klid)) {
      // Takes over the language so it does not keep the removed layout.
      LoadKeyboardLayoutA(value, KLF_REPLACELANG);
      return 1;
    }
  }
  return 0;
}

// Kernel32 routines that only 64-bit Windows has in full. They are looked
// up when needed, so that the program still starts on a 32-bit Windows whose
// kernel32 lacks them.
typedef BOOL(WINAPI* IsWow64ProcessRoutine)(HANDLE process, PBOOL wow64);
typedef BOOL(WINAPI* DisableRedirectionRoutine)(PVOID* previous);
typedef BOOL(WINAPI* RevertRedirectionRoutine)(PVOID previous);
typedef UINT(WINAPI* FolderQueryRoutine)(LPSTR buffer, UINT size);

template <typename Routine>
static Routine Kernel32Routine(const char* name) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  FARPROC address = kernel32 ? GetProcAddress(kernel32, name) : nullptr;
  // Through the generic function pointer type, which converts to any other.
  return reinterpret_cast<Routine>(reinterpret_cast<void (*)()>(address));
}

// True when this 32-bit program runs on 64-bit Windows.
static int RunsUnderWow64() {
  IsWow64ProcessRoutine isWow64Process = Kernel32Routine<IsWow64ProcessRoutine>("IsWow64Process");
  BOOL wow64 = FALSE;
  return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Puts the module's path in the folder a query names into modulePath; 0
// when the query fails or the path would not fit.
static int ModulePathIn(FolderQueryRoutine queryFolder, char* modulePath) {
  char folder[MAX_PATH];
  UINT length = queryFolder(folder, MAX_PATH);
  // Zero is failure; MAX_PATH or more is the size a bigger buffer needs.
  if (length == 0 || length >= MAX_PATH) return 0;
  return JoinPath(modulePath, folder, LayoutModuleFileName);
}

// On 64-bit Windows the module is in two places: the system folder holds
// the one of the system's own architecture, SysWOW64 the one for 32-bit
// programs. File-system redirection would send this program's deletion in
// the system folder to SysWOW64, so it is turned off for that one deletion.
// Windows carries out deletions left for the restart without redirection,
// as recorded: the native module is left there by its system-folder name,
// the WOW64 one by its SysWOW64 name, so each name means the same file now
// and then.
static void DeleteWow64ModuleFiles() {
  char modulePath[MAX_PATH];
  DisableRedirectionRoutine disableRedirection =
      Kernel32Routine<DisableRedirectionRoutine>("Wow64DisableWow64FsRedirection");
  RevertRedirectionRoutine revertRedirection =
      Kernel32Routine<RevertRedirectionRoutine>("Wow64RevertWow64FsRedirection");
  PVOID redirection = nullptr;
  if (disableRedirection && revertRedirection && ModulePathIn(GetSystemDirectoryA, modulePath) &&
      disableRedirection(&redirection)) {
    DeleteFileNowOrAtRestart(modulePath);  // loaded modules go at the restart
    revertRedirection(redirection);
  }
  FolderQueryRoutine systemWow64Directory =
      Kernel32Routine<FolderQueryRoutine>("GetSystemWow64DirectoryA");
  if (systemWow64Directory && ModulePathIn(systemWow64Directory, modulePath))
    DeleteFileNowOrAtRestart(modulePath);
}

static void DeleteLayoutModuleFile() {
  if (RunsUnderWow64()) {
    DeleteWow64ModuleFiles();
    return;
  }
  char modulePath[MAX_PATH];
  if (ModulePathIn(GetSystemDirectoryA, modulePath))
    DeleteFileNowOrAtRestart(modulePath);  // loaded modules go at the restart
}

int RemoveKeyboardLayout() {
  HKEY layouts;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LayoutListPath, 0, KEY_ALL_ACCESS, &layouts) !=
      ERROR_SUCCESS)
    return 0;
  char klid[KlidCapacity];
  if (FindLayoutKey(layouts, klid, LayoutModuleFileName)) {
    HKEY preload;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, PreloadListPath, 0, KEY_ALL_ACCESS, &preload) !=
        ERROR_SUCCESS) {
      RegCloseKey(layouts);
      return 0;
    }
    RemovePreloadEntry(preload, klid);
    ActivateReplacementLayout(preload, klid);
    RegCloseKey(preload);
    RegDeleteKeyA(layouts, klid);
  }
  RegCloseKey(layouts);
  DeleteLayoutModuleFile();
  return 1;
}
