// lduser.exe: the per-user step of an installation for all users. Setup
// registers it as an Active Setup component; at each user's sign-in, before
// the desktop appears, Windows runs it in that user's session, unelevated,
// once for each Version of the component. It gives the user what Setup
// gives the user who runs it in an installation "for me":
//   - the layout in the input list on Windows 8 and later, under the user's
//     default input language: InstallLayoutOrTip("LLLL:KLID", 0), the
//     string recorded in HKCU\Software\Krelmo\Lindorian,
//     InstalledLayoutOrTip, when the call succeeded, for the removal;
//   - the layout's KLID at the end of the user's preload list.
// It does nothing when the package's layout is no longer registered, and
// nothing more when it runs again: the preload list holds the KLID, and
// the record says the input list has it. It shows nothing, waits for
// nothing, needs no administrator rights and always exits with 0: the
// user's sign-in does not depend on it.
#include <windows.h>

#include "input_list.h"
#include "package_text.h"

static const wchar_t LayoutListPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts";
static const wchar_t LayoutModuleName[] = L"ldkeys.dll";
static const unsigned PackageLanguageId = 0x0628;
static const unsigned LastVariantNumber = 0xFFFF;
static const wchar_t PreloadPath[] = L"Keyboard Layout\\Preload";
// The record's key and value (cmake/package.cmake).
static const wchar_t RecordPath[] = PACKAGE_WIDE(PACKAGE_USER_KEY);
static const wchar_t RecordName[] = PACKAGE_WIDE(PACKAGE_USER_RECORD);

// A KLID: eight hex digits. The input list's string: "LLLL:KLID".
const int KlidLength = 8;
const int EntryLength = 4 + 1 + KlidLength;
// A registration's layout file is a short file name.
const DWORD LayoutFileCapacity = 16;
// Value names of the preload list are decimal numbers from 1; the list
// ends at the first one missing.
const unsigned LastPreloadName = 0x7FFFFFFF;
const int PreloadNameCapacity = 11;  // any unsigned in decimal

static int SameText(const wchar_t* first, const wchar_t* second, int length) {
  for (int at = 0; at < length; ++at)
    if (first[at] != second[at]) return 0;
  return 1;
}

// Reads the string value name of at most capacity - 1 characters into value,
// terminated, whether or not the data holds its terminator.
// ERROR_FILE_NOT_FOUND when it is missing; ERROR_MORE_DATA or
// ERROR_INVALID_DATA when it is longer or no string; any other code when
// it cannot be read.
static LONG ReadText(HKEY key, const wchar_t* name, wchar_t* value, DWORD capacity) {
  DWORD type = 0;
  DWORD size = capacity * sizeof(wchar_t);
  LONG read = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  if (read != ERROR_SUCCESS) return read;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  DWORD length = size / sizeof(wchar_t);
  if (length > 0 && value[length - 1] == 0) --length;
  if (length >= capacity) return ERROR_MORE_DATA;
  value[length] = 0;
  return ERROR_SUCCESS;
}

static void PreloadName(wchar_t* name, unsigned number) {
  wchar_t digits[PreloadNameCapacity];
  int count = 0;
  do digits[count++] = wchar_t(L'0' + number % 10);
  while (number /= 10);
  for (int at = 0; at < count; ++at) name[at] = digits[count - 1 - at];
  name[count] = 0;
}

static void FormatKlid(wchar_t* klid, unsigned variant) {
  const wchar_t digits[] = L"0123456789ABCDEF";
  unsigned value = variant << 16 | PackageLanguageId;
  for (int at = KlidLength - 1; at >= 0; --at, value >>= 4) klid[at] = digits[value & 0xF];
  klid[KlidLength] = 0;
}

// 1 when the user's record names the KLID: the input list got it before.
static int InputListRecorded(const wchar_t* klid) {
  HKEY record;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, RecordPath, 0, KEY_QUERY_VALUE, &record) != ERROR_SUCCESS)
    return 0;
  wchar_t entry[EntryLength + 1];
  int recorded = ReadText(record, RecordName, entry, EntryLength + 1) == ERROR_SUCCESS &&
                 lstrlenW(entry) == EntryLength && entry[4] == L':' &&
                 SameText(entry + 5, klid, KlidLength);
  RegCloseKey(record);
  return recorded;
}

static int IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

// language := the language half of the user's first preload entry, the
// default input language, as four upper-case hex digits; 0409 where that
// entry is missing, no KLID or names language 0000. Setup decides the same.
static void DefaultInputLanguage(wchar_t* language) {
  const wchar_t fallback[] = L"0409";
  wchar_t first[KlidLength + 1];
  HKEY preload;
  int found = 0;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, PreloadPath, 0, KEY_QUERY_VALUE, &preload) ==
      ERROR_SUCCESS) {
    found = ReadText(preload, L"1", first, KlidLength + 1) == ERROR_SUCCESS &&
            lstrlenW(first) == KlidLength;
    RegCloseKey(preload);
  }
  int zero = 1;
  for (int at = 4; found && at < KlidLength; ++at) {
    found = IsHexDigit(first[at]);
    zero = zero && first[at] == L'0';
  }
  for (int at = 0; at < 4; ++at) {
    wchar_t c = found && !zero ? first[4 + at] : fallback[at];
    language[at] = c >= L'a' && c <= L'f' ? wchar_t(c - L'a' + L'A') : c;
  }
}

static void Record(const wchar_t* entry) {
  HKEY record;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, RecordPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &record,
                      nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(record, RecordName, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry),
                 (EntryLength + 1) * sizeof(wchar_t));
  RegCloseKey(record);
}

// Windows 8 and later keep the user's input methods as their language list
// and derive the preload list from it: the layout goes in with input.dll's
// InstallLayoutOrTip. Where that cannot be called (Windows XP and 7),
// nothing is; a call that fails is not recorded.
static void AddToInputList(const wchar_t* klid) {
  if (InputListRecorded(klid)) return;
  wchar_t entry[EntryLength + 1];
  DefaultInputLanguage(entry);
  entry[4] = L':';
  for (int at = 0; at <= KlidLength; ++at) entry[5 + at] = klid[at];
  if (CallInstallLayoutOrTip(entry, ILOT_INSTALL)) Record(entry);
}

// Appends the KLID after the last entry of the preload list, where the
// list ends at the first missing number (and uninstall.exe stops reading
// it), unless an entry holds it already. An entry that is no KLID is
// another's, and stays; a list that cannot be read is left alone.
static void AddToPreload(const wchar_t* klid) {
  HKEY preload;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, PreloadPath, 0, nullptr, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &preload, nullptr) != ERROR_SUCCESS)
    return;
  for (unsigned number = 1; number <= LastPreloadName; ++number) {
    wchar_t name[PreloadNameCapacity];
    wchar_t value[KlidLength + 1];
    PreloadName(name, number);
    LONG read = ReadText(preload, name, value, KlidLength + 1);
    if (read == ERROR_SUCCESS && lstrlenW(value) == KlidLength && SameText(value, klid, KlidLength))
      break;
    if (read == ERROR_FILE_NOT_FOUND)
      RegSetValueExW(preload, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(klid),
                     (KlidLength + 1) * sizeof(wchar_t));
    if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA && read != ERROR_INVALID_DATA) break;
  }
  RegCloseKey(preload);
}

// klid := the package's registration as uninstall.exe finds it: it tries
// 00000628, 00010628, ... up to the first missing one, for the one whose
// layout file is ldkeys.dll (any letter case). 0 when there is none: the
// package has been removed.
static int FindPackageLayout(wchar_t* klid) {
  HKEY layouts;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, LayoutListPath, 0, KEY_ENUMERATE_SUB_KEYS, &layouts) !=
      ERROR_SUCCESS)
    return 0;
  int found = 0;
  for (unsigned variant = 0; variant <= LastVariantNumber && !found; ++variant) {
    FormatKlid(klid, variant);
    HKEY layout;
    if (RegOpenKeyExW(layouts, klid, 0, KEY_QUERY_VALUE, &layout) != ERROR_SUCCESS) break;
    wchar_t layoutFile[LayoutFileCapacity];
    found = ReadText(layout, L"Layout File", layoutFile, LayoutFileCapacity) == ERROR_SUCCESS &&
            lstrcmpiW(layoutFile, LayoutModuleName) == 0;
    RegCloseKey(layout);
  }
  RegCloseKey(layouts);
  return found;
}

extern "C" void WINAPI UserStepStart() {
  wchar_t klid[KlidLength + 1];
  if (FindPackageLayout(klid)) {
    AddToInputList(klid);
    AddToPreload(klid);
  }
  ExitProcess(0);
}
