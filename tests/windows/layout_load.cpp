// Loads a registered keyboard layout by its KLID, the way the system loads
// the layouts of the user's preload list, and checks that the system took
// up the registration.
//
//   layout_load.exe KLID
//
// LoadKeyboardLayoutA must return a layout, and the loaded layouts must hold
// the KLID's handle exactly once: the language in the low word; in the high
// word the language again for variant 0000, or 0xF000 | the registration's
// "Layout Id" for any other variant, so a missing Layout Id, or one that
// another registration of the language shares, shows up here. (Wine 8
// activates only layouts of the user's locale and returns that layout for
// any other KLID, but lists every registration among the loaded layouts.)
//
// Exit code 0 when all of that holds; otherwise 1, with a line per failed
// check on standard output; 2 for a usage error.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "checks.h"

namespace {

bool IsKlid(const char* text) {
  if (strlen(text) != KL_NAMELENGTH - 1) return false;
  for (const char* c = text; *c; ++c)
    if (!((*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'F'))) return false;
  return true;
}

// The registration's "Layout Id" as a number; -1 when it has none.
long ReadLayoutId(const char* klid) {
  char path[128];
  snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Control\\Keyboard Layouts\\%s", klid);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return -1;
  char text[16];
  DWORD size = sizeof text - 1, type = 0;
  LONG result =
      RegQueryValueExA(key, "Layout Id", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return -1;
  text[size] = 0;
  return strtol(text, nullptr, 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !IsKlid(argv[1])) {
    printf("usage: layout_load KLID   (eight upper-case hex digits)\n");
    return 2;
  }
  const char* klid = argv[1];
  unsigned long number = strtoul(klid, nullptr, 16);
  WORD language = LOWORD(number);
  WORD variant = HIWORD(number);

  HKL layout = LoadKeyboardLayoutA(klid, 0);
  printf("LoadKeyboardLayoutA(\"%s\") = %08lX\n", klid, DWORD(reinterpret_cast<UINT_PTR>(layout)));
  Check(layout != nullptr, "the layout was loaded");

  DWORD expected = MAKELONG(language, language);
  if (variant != 0) {
    long id = ReadLayoutId(klid);
    printf("Layout Id %04lX\n", id);
    Check(id > 0 && id <= 0xFFFF, "the registration has a Layout Id");
    expected = MAKELONG(language, 0xF000 | (id & 0x0FFF));
  }
  HKL list[256];
  int count = GetKeyboardLayoutList(256, list);
  int found = 0;
  for (int i = 0; i < count; ++i) {
    DWORD handle = DWORD(reinterpret_cast<UINT_PTR>(list[i]));
    printf("  %08lX\n", handle);
    // Wine 8 lists a registration of variant 0000 by its bare number
    // (00000628) rather than by the handle Windows makes (06280628).
    found += handle == expected || (variant == 0 && handle == language);
  }
  char what[128];
  snprintf(what, sizeof what, "the layout list holds %08lX once", expected);
  Check(found == 1, what);

  if (Failures) {
    printf("%d check(s) failed\n", Failures);
    return 1;
  }
  printf("%s loaded\n", klid);
  return 0;
}
