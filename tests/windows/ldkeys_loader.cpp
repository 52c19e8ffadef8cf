// Loads ldkeys.dll through the real Windows loader at an address other than
// its preferred base, calls KbdLayerDescriptor and walks the live tables.
// Built three times: as a 32-bit program for the i386 module, as a 64-bit
// one for the amd64 module, and as a 32-bit one with LDKEYS_LONG_POINTERS
// for the WOW64 module, whose 8-byte pointers must also have a zero high
// half.
//
// Reserving the preferred range first forces the loader to relocate the
// image, so every pointer the tables hold is only right if the module's
// base relocations cover it. Exits 0 when every check holds; otherwise
// prints each failure and exits 1.
//
// Usage: ldkeys_loader PATH\TO\ldkeys.dll
#include <windows.h>

#include <initializer_list>
#include <stdio.h>
#include <string.h>

#include "checks.h"
#include "kbd.h"

namespace {

// Module bounds, set once the module is loaded.
const BYTE* ModuleStart = nullptr;
const BYTE* ModuleEnd = nullptr;

bool InModule(const void* p, size_t size) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return b >= ModuleStart && b <= ModuleEnd && size <= size_t(ModuleEnd - b);
}

// Preferred base and size of the image, read from the file's headers
// (PE32 or PE32+, whichever the module is).
bool ReadImageLayout(const char* path, ULONG_PTR* imageBase, DWORD* imageSize) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE header[1024];
  DWORD got = 0;
  BOOL read = ReadFile(file, header, sizeof header, &got, nullptr);
  CloseHandle(file);
  if (!read || got < sizeof(IMAGE_DOS_HEADER)) return false;
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(header);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
      DWORD(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > got)
    return false;
  const IMAGE_NT_HEADERS32* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS32*>(header + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
  if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    *imageBase = nt->OptionalHeader.ImageBase;
    *imageSize = nt->OptionalHeader.SizeOfImage;
    return true;
  }
  const IMAGE_NT_HEADERS64* nt64 = reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt);
  if (DWORD(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > got ||
      nt64->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      nt64->OptionalHeader.ImageBase > ~ULONG_PTR(0))
    return false;
  *imageBase = ULONG_PTR(nt64->OptionalHeader.ImageBase);
  *imageSize = nt64->OptionalHeader.SizeOfImage;
  return true;
}

bool SameWide(const WCHAR* a, const WCHAR* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// The rows of a character table as the row type of its column count.
template <typename Row>
const Row* Rows(const VK_TO_WCHAR_TABLE& table) {
  const void* rows = table.pVkToWchars;
  return static_cast<const Row*>(rows);
}

// Every row of a character table lies in the module; returns the row count.
int CountRows(const VK_TO_WCHAR_TABLE& table) {
  const BYTE* row = Rows<BYTE>(table);
  for (int rows = 0; rows < 256; ++rows, row += table.cbSize) {
    if (!InModule(row, table.cbSize)) return -1;
    if (row[0] == 0) return rows;
  }
  return -1;
}

void CheckModifiers(const MODIFIERS* mods) {
  Check(InModule(mods, sizeof(MODIFIERS) + 8), "modifier record lies in the module");
  if (!InModule(mods, sizeof(MODIFIERS) + 8)) return;
  Check(InModule(mods->pVkToBit, 4 * sizeof(VK_TO_BIT)), "modifier key list lies in the module");
  if (InModule(mods->pVkToBit, 4 * sizeof(VK_TO_BIT))) {
    const VK_TO_BIT* bits = mods->pVkToBit;
    Check(bits[0].Vk == VK_SHIFT && bits[0].ModBits == 1, "Shift sets bit 1");
    Check(bits[1].Vk == VK_CONTROL && bits[1].ModBits == 2, "Ctrl sets bit 2");
    Check(bits[2].Vk == VK_MENU && bits[2].ModBits == 4, "Alt sets bit 4");
    Check(bits[3].Vk == 0 && bits[3].ModBits == 0, "modifier key list ends after Alt");
  }
  Check(mods->wMaxModBits == 7, "wMaxModBits is 7");
  static const BYTE columns[8] = {0, 1, 2, 2, SHFT_INVALID, SHFT_INVALID, 3, 4};
  Check(memcmp(mods->ModNumber, columns, sizeof columns) == 0,
        "ModNumber maps masks 0-7 to 0 1 2 2 15 15 3 4");
}

void CheckCharacterMap(const VK_TO_WCHAR_TABLE* list) {
  Check(InModule(list, 5 * sizeof(VK_TO_WCHAR_TABLE)), "character table list lies in the module");
  if (!InModule(list, 5 * sizeof(VK_TO_WCHAR_TABLE))) return;

  struct Shape {
    BYTE columns, rowSize;
    int rows;
  };
  static const Shape shapes[4] = {{3, 8, 5}, {5, 12, 22}, {2, 6, 32}, {1, 4, 10}};
  for (int t = 0; t < 4; ++t) {
    char what[80];
    snprintf(what, sizeof what, "table %d has %d columns, %d-byte rows and %d rows", t + 1,
             shapes[t].columns, shapes[t].rowSize, shapes[t].rows);
    Check(list[t].nModifications == shapes[t].columns && list[t].cbSize == shapes[t].rowSize &&
              CountRows(list[t]) == shapes[t].rows,
          what);
  }
  Check(list[4].pVkToWchars == nullptr && list[4].nModifications == 0 && list[4].cbSize == 0,
        "table list ends after four tables");
  for (int t = 0; t < 4; ++t)
    if (CountRows(list[t]) < 0) return;

  const VK_TO_WCHARS3& control = *Rows<VK_TO_WCHARS3>(list[0]);
  Check(control.VirtualKey == VK_BACK && control.Attributes == 0 && control.wch[0] == 0x08 &&
            control.wch[1] == 0x08 && control.wch[2] == 0x7F,
        "first control row is Backspace 0008 0008 007F");

  const VK_TO_WCHARS5& altgr = *Rows<VK_TO_WCHARS5>(list[1]);
  Check(altgr.VirtualKey == VK_OEM_7 && altgr.Attributes == 0 && altgr.wch[0] == 0x0301 &&
            altgr.wch[1] == 0x0022 && altgr.wch[2] == WCH_NONE && altgr.wch[3] == 0x0027 &&
            altgr.wch[4] == 0x0022,
        "first AltGr row is the apostrophe key 0301 0022 none 0027 0022");

  const VK_TO_WCHARS2& plain = *Rows<VK_TO_WCHARS2>(list[2]);
  Check(plain.VirtualKey == '1' && plain.Attributes == 0 && plain.wch[0] == '1' &&
            plain.wch[1] == '!',
        "first plain row is 1 !");

  const VK_TO_WCHARS1& keypad = *Rows<VK_TO_WCHARS1>(list[3]);
  Check(keypad.VirtualKey == VK_NUMPAD0 && keypad.Attributes == 0 && keypad.wch[0] == '0',
        "first keypad row is Num 0");
}

void CheckKeyNames(const VSC_LPWSTR* names, int count, BYTE firstCode, const WCHAR* firstName,
                   BYTE lastCode, const WCHAR* lastName, const char* what) {
  char message[120];
  snprintf(message, sizeof message, "%s: %d entries in the module, first and last as expected",
           what, count);
  if (!InModule(names, (count + 1) * sizeof(VSC_LPWSTR))) {
    Check(false, message);
    return;
  }
  bool ok = names[count].vsc == 0 && names[count].pwsz == nullptr;
  for (int i = 0; ok && i < count; ++i) ok = InModule(names[i].pwsz, sizeof(WCHAR));
  ok = ok && names[0].vsc == firstCode && SameWide(names[0].pwsz, firstName) &&
       names[count - 1].vsc == lastCode && SameWide(names[count - 1].pwsz, lastName);
  Check(ok, message);
}

void CheckScanCodes(const KBDTABLES* kbd) {
  Check(kbd->bMaxVSCtoVK == 127, "bMaxVSCtoVK is 127");
  Check(InModule(kbd->pusVSCtoVK, 127 * sizeof(USHORT)), "scan-code map lies in the module");
  if (InModule(kbd->pusVSCtoVK, 127 * sizeof(USHORT))) {
    const USHORT* map = kbd->pusVSCtoVK;
    Check(map[0x00] == 0xFF && map[0x10] == 'Q' && map[0x36] == (VK_RSHIFT | KBDEXT) &&
              map[0x45] == (VK_NUMLOCK | KBDEXT | KBDMULTIVK) && map[0x7E] == VK_ABNT_C2,
          "scan-code map entries 00, 10, 36, 45 and 7E");
  }

  const VSC_VK* e0 = kbd->pVSCtoVK_E0;
  Check(InModule(e0, 39 * sizeof(VSC_VK)), "E0 map lies in the module");
  if (InModule(e0, 39 * sizeof(VSC_VK))) {
    Check(e0[0].Vsc == 0x10 && e0[0].Vk == (VK_MEDIA_PREV_TRACK | KBDEXT), "E0 map starts with 10");
    Check(e0[35].Vsc == 0x6D && e0[35].Vk == (VK_LAUNCH_MEDIA_SELECT | KBDEXT) &&
              e0[36].Vsc == 0x1C && e0[36].Vk == (VK_RETURN | KBDEXT) && e0[37].Vsc == 0x46 &&
              e0[37].Vk == (VK_CANCEL | KBDEXT) && e0[38].Vsc == 0 && e0[38].Vk == 0,
          "E0 map ends 6D, 1C, 46, terminator");
  }

  const VSC_VK* e1 = kbd->pVSCtoVK_E1;
  Check(InModule(e1, 2 * sizeof(VSC_VK)) && e1[0].Vsc == 0x1D && e1[0].Vk == VK_PAUSE &&
            e1[1].Vsc == 0,
        "E1 map is 1D Pause, terminator");
}

#if defined(LDKEYS_LONG_POINTERS)
// 64-bit Windows reads all 8 bytes of every pointer: each high half must be
// zero, the list terminators' included. Called once the tables were walked.
void CheckHighHalves(const KBDTABLES* kbd) {
  bool zero = kbd->pCharModifiers.High == 0 && kbd->pVkToWcharTable.High == 0 &&
              kbd->pDeadKey.High == 0 && kbd->pKeyNames.High == 0 && kbd->pKeyNamesExt.High == 0 &&
              kbd->pKeyNamesDead.High == 0 && kbd->pusVSCtoVK.High == 0 &&
              kbd->pVSCtoVK_E0.High == 0 && kbd->pVSCtoVK_E1.High == 0 &&
              kbd->pLigature.High == 0 && kbd->pCharModifiers->pVkToBit.High == 0;
  for (int t = 0; t <= 4; ++t) zero = zero && kbd->pVkToWcharTable[t].pVkToWchars.High == 0;
  for (const VSC_LPWSTR* names : {kbd->pKeyNames.Address, kbd->pKeyNamesExt.Address}) {
    int i = 0;
    for (; names[i].vsc; ++i) zero = zero && names[i].pwsz.High == 0;
    zero = zero && names[i].pwsz.High == 0;
  }
  Check(zero, "every pointer's high half is zero");
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    printf("usage: ldkeys_loader PATH\\TO\\ldkeys.dll\n");
    return 2;
  }
  const char* path = argv[1];

  ULONG_PTR preferred = 0;
  DWORD imageSize = 0;
  if (!ReadImageLayout(path, &preferred, &imageSize)) {
    printf("FAIL: cannot read the PE headers of %s\n", path);
    return 1;
  }
  void* blocker =
      VirtualAlloc(reinterpret_cast<void*>(preferred), imageSize, MEM_RESERVE, PAGE_NOACCESS);
  if (blocker != reinterpret_cast<void*>(preferred)) {
    printf("FAIL: cannot reserve the preferred range %p+%lX (error %lu)\n",
           reinterpret_cast<void*>(preferred), imageSize, GetLastError());
    return 1;
  }

  HMODULE module = LoadLibraryA(path);
  if (!module) {
    printf("FAIL: LoadLibrary(%s) failed with error %lu\n", path, GetLastError());
    return 1;
  }
  ModuleStart = reinterpret_cast<const BYTE*>(module);
  ModuleEnd = ModuleStart + imageSize;
  printf("preferred base %p, loaded at %p\n", reinterpret_cast<void*>(preferred),
         static_cast<void*>(module));
  Check(ModuleStart != reinterpret_cast<const BYTE*>(preferred), "module was relocated");

#if defined(LDKEYS_LONG_POINTERS)
  typedef ULONGLONG (*Accessor)();
#else
  typedef const KBDTABLES* (*Accessor)();
#endif
  Accessor byName = reinterpret_cast<Accessor>(
      reinterpret_cast<void*>(GetProcAddress(module, "KbdLayerDescriptor")));
  Accessor byOrdinal = reinterpret_cast<Accessor>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
  Check(byName != nullptr, "KbdLayerDescriptor is exported by name");
  Check(byName == byOrdinal, "ordinal 1 is KbdLayerDescriptor");
  if (!byName) {
    printf("%d check(s) failed\n", Failures);
    return 1;
  }
  Check(InModule(reinterpret_cast<const void*>(byName), 1), "the accessor lies in the module");

#if defined(LDKEYS_LONG_POINTERS)
  // A 64-bit address in EDX:EAX, zero-extended.
  const ULONGLONG address = byName();
  Check(address >> 32 == 0, "the accessor's high half (EDX) is zero");
  Check(address == byName(), "the accessor returns the same address every time");
  const KBDTABLES* kbd = reinterpret_cast<const KBDTABLES*>(ULONG_PTR(address));
#else
  const KBDTABLES* kbd = byName();
  Check(kbd == byName(), "the accessor returns the same address every time");
#endif
  Check(InModule(kbd, sizeof(KBDTABLES)), "the descriptor lies in the module");
  if (InModule(kbd, sizeof(KBDTABLES))) {
    Check(kbd->pDeadKey == nullptr && kbd->pKeyNamesDead == nullptr && kbd->pLigature == nullptr,
          "no dead keys, dead-key names or ligatures");
    Check(kbd->fLocaleFlags == 0x00010001, "fLocaleFlags is KLLF_ALTGR, version 1");
    Check(kbd->nLgMax == 0 && kbd->cbLgEntry == 0 && kbd->dwType == 0 && kbd->dwSubType == 0,
          "ligature sizes, type and subtype are zero");
    CheckModifiers(kbd->pCharModifiers);
    CheckCharacterMap(kbd->pVkToWcharTable);
    CheckKeyNames(kbd->pKeyNames, 51, 0x01, L"Esc", 0x87, L"F24", "key names");
    CheckKeyNames(kbd->pKeyNamesExt, 22, 0x1C, L"Num Enter", 0x5D, L"Application",
                  "extended key names");
    CheckScanCodes(kbd);
#if defined(LDKEYS_LONG_POINTERS)
    if (!Failures) CheckHighHalves(kbd);
#endif
  }

  FreeLibrary(module);
  VirtualFree(blocker, 0, MEM_RELEASE);

  if (Failures) {
    printf("%d check(s) failed\n", Failures);
    return 1;
  }
  printf("ldkeys.dll loaded, relocated and walked: all checks passed\n");
  return 0;
}
