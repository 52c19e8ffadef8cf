// Records and constants of the Windows keyboard-layout format.
//
// The keyboard subsystem calls a layout module's KbdLayerDescriptor export
// and reads these records directly out of the mapped image, so their layout
// must match the platform's byte for byte. mingw-w64 ships no header for
// them; this one follows the platform's published definitions. The same
// tables are built into modules of three record layouts:
//
//  - 32-bit Windows (i386): 4-byte pointers.
//  - 64-bit Windows (amd64, arm64): 8-byte pointers, naturally aligned.
//  - WOW64 (i386 code, LDKEYS_LONG_POINTERS): 64-bit Windows reads the
//    layout of a 32-bit program with the 64-bit record layout, so every
//    pointer takes 8 bytes: the address in the low half, relocated like any
//    32-bit pointer, and zero in the high half.
//
// The first part states where every field lies in each record layout; it
// needs no Windows header, and the host's layout reader takes its offsets
// from it. The second part declares the records for the module being built
// and checks each of them against those offsets.
//
// The pointers in the records refer to constant data: the subsystem only
// ever reads the tables, and a pointer to const has the same representation
// as a plain one.
#ifndef LDKEYS_KBD_H
#define LDKEYS_KBD_H

// Byte offsets and sizes of the records whose layout depends on the width
// of a pointer.
struct KbdRecordLayout {
  unsigned PointerSize;

  unsigned ModifiersMaxModBits;  // MODIFIERS.wMaxModBits
  unsigned ModifiersModNumber;   // MODIFIERS.ModNumber

  unsigned WcharTableSize;           // sizeof VK_TO_WCHAR_TABLE
  unsigned WcharTableModifications;  // VK_TO_WCHAR_TABLE.nModifications
  unsigned WcharTableRowSize;        // VK_TO_WCHAR_TABLE.cbSize

  unsigned KeyNameSize;  // sizeof VSC_LPWSTR
  unsigned KeyNameText;  // VSC_LPWSTR.pwsz

  // KBDTABLES
  unsigned TablesSize;
  unsigned CharModifiers;
  unsigned VkToWcharTable;
  unsigned DeadKey;
  unsigned KeyNames;
  unsigned KeyNamesExt;
  unsigned KeyNamesDead;
  unsigned VscToVk;
  unsigned MaxVscToVk;
  unsigned VscToVkE0;
  unsigned VscToVkE1;
  unsigned LocaleFlags;
  unsigned LgMax;
  unsigned LgEntry;
  unsigned Ligature;
  unsigned Type;
  unsigned SubType;
};

constexpr KbdRecordLayout KbdRecords32 = {
    .PointerSize = 4,
    .ModifiersMaxModBits = 4,
    .ModifiersModNumber = 6,
    .WcharTableSize = 8,
    .WcharTableModifications = 4,
    .WcharTableRowSize = 5,
    .KeyNameSize = 8,
    .KeyNameText = 4,
    .TablesSize = 60,
    .CharModifiers = 0,
    .VkToWcharTable = 4,
    .DeadKey = 8,
    .KeyNames = 12,
    .KeyNamesExt = 16,
    .KeyNamesDead = 20,
    .VscToVk = 24,
    .MaxVscToVk = 28,
    .VscToVkE0 = 32,
    .VscToVkE1 = 36,
    .LocaleFlags = 40,
    .LgMax = 44,
    .LgEntry = 45,
    .Ligature = 48,
    .Type = 52,
    .SubType = 56,
};

// Every pointer 8-aligned: a byte after a pointer leaves 7 bytes of padding,
// and a DWORD before one leaves 4.
constexpr KbdRecordLayout KbdRecords64 = {
    .PointerSize = 8,
    .ModifiersMaxModBits = 8,
    .ModifiersModNumber = 10,
    .WcharTableSize = 16,
    .WcharTableModifications = 8,
    .WcharTableRowSize = 9,
    .KeyNameSize = 16,
    .KeyNameText = 8,
    .TablesSize = 104,
    .CharModifiers = 0,
    .VkToWcharTable = 8,
    .DeadKey = 16,
    .KeyNames = 24,
    .KeyNamesExt = 32,
    .KeyNamesDead = 40,
    .VscToVk = 48,
    .MaxVscToVk = 56,
    .VscToVkE0 = 64,
    .VscToVkE1 = 72,
    .LocaleFlags = 80,
    .LgMax = 84,
    .LgEntry = 85,
    .Ligature = 88,
    .Type = 96,
    .SubType = 100,
};

// Records without pointers are the same in every layout.
constexpr unsigned KbdVkToBitSize = 2;  // VK_TO_BIT: Vk, ModBits
constexpr unsigned KbdVscVkSize = 4;    // VSC_VK: Vsc, then Vk at 2
constexpr unsigned KbdVscVkVk = 2;
constexpr unsigned KbdDeadKeySize = 8;      // DEADKEY: dwBoth, then
constexpr unsigned KbdDeadKeyComposed = 4;  // wchComposed at 4
constexpr unsigned KbdDeadKeyFlags = 6;     // and uFlags at 6
constexpr unsigned KbdWcharRowCells = 2;    // VK_TO_WCHARSn: VirtualKey, Attributes, wch[n]
constexpr unsigned KbdLigatureColumn = 2;   // LIGATUREn: VirtualKey, ModificationNumber at 2,
constexpr unsigned KbdLigatureCells = 4;    // wch[n] at 4

#if defined(_WIN32)

#include <windows.h>
#include <stddef.h>

// How a record holds a pointer. gcc has no 64-bit pointer type for 32-bit
// code, so the WOW64 build stores a 32-bit pointer and a zero DWORD in an
// 8-aligned pair; it converts to a plain pointer for reading.
#if defined(LDKEYS_LONG_POINTERS)
template <typename T>
struct alignas(8) KbdLongPointer {
  T* Address;
  DWORD High;

  constexpr KbdLongPointer(T* address = nullptr) : Address(address), High(0) {}
  constexpr operator T*() const { return Address; }
  constexpr T* operator->() const { return Address; }
};
#define KBD_POINTER(T) KbdLongPointer<T>
constexpr KbdRecordLayout KbdRecords = KbdRecords64;
#else
#define KBD_POINTER(T) T*
constexpr KbdRecordLayout KbdRecords = sizeof(void*) == 8 ? KbdRecords64 : KbdRecords32;
#endif

// Flags in the high byte of a scan-code map entry.
#define KBDEXT 0x0100      // extended key (E0 prefix, or right Shift)
#define KBDMULTIVK 0x0200  // key yields another VK with some modifiers
#define KBDSPECIAL 0x0400  // key needs special handling by the subsystem
#define KBDNUMPAD 0x0800   // numeric-keypad key, affected by Num Lock

// Modifier bits used in VK_TO_BIT and as the index into ModNumber.
#define KBDSHIFT 0x01
#define KBDCTRL 0x02
#define KBDALT 0x04

// ModNumber value for a modifier combination that has no column.
#define SHFT_INVALID 0x0F

// Attribute byte of a character row.
#define CAPLOK 0x01       // Caps Lock acts as Shift on the Base/Shift columns
#define SGCAPS 0x02       // Caps Lock takes its characters from the next row
#define CAPLOKALTGR 0x04  // Caps Lock acts as Shift on the AltGr columns
#define KANALOK 0x08
#define GRPSELTAP 0x80

// Special character cells.
#define WCH_NONE 0xF000  // no character for this key and column
#define WCH_DEAD 0xF001  // dead key; the character is in the next row
#define WCH_LGTR 0xF002  // ligature; the characters are in pLigature

// Low word of KBDTABLES.fLocaleFlags.
#define KLLF_ALTGR 0x0001  // right Alt acts as Ctrl+Alt
#define KLLF_SHIFTLOCK 0x0002
#define KLLF_LRM_RLM 0x0004

// High word of KBDTABLES.fLocaleFlags.
#define KBD_VERSION 1

// The no-key code in the scan-code maps.
#define VK__none_ 0xFF

// Virtual keys of the Brazilian ABNT keyboard, known only to layouts.
#ifndef VK_ABNT_C1
#define VK_ABNT_C1 0xC1
#endif
#ifndef VK_ABNT_C2
#define VK_ABNT_C2 0xC2
#endif

typedef struct _VK_TO_BIT {
  BYTE Vk;
  BYTE ModBits;
} VK_TO_BIT, *PVK_TO_BIT;

// ModNumber is a flexible array of wMaxModBits + 1 column numbers. ISO C++
// has no flexible array members; __extension__ tells the compiler that the
// GNU extension is meant, both here and where an instance is initialised.
__extension__ typedef struct _MODIFIERS {
  KBD_POINTER(const VK_TO_BIT) pVkToBit;
  WORD wMaxModBits;
  BYTE ModNumber[];
} MODIFIERS, *PMODIFIERS;

#define TYPEDEF_VK_TO_WCHARS(n)     \
  typedef struct _VK_TO_WCHARS##n { \
    BYTE VirtualKey;                \
    BYTE Attributes;                \
    WCHAR wch[n];                   \
  } VK_TO_WCHARS##n, *PVK_TO_WCHARS##n;

TYPEDEF_VK_TO_WCHARS(1)
TYPEDEF_VK_TO_WCHARS(2)
TYPEDEF_VK_TO_WCHARS(3)
TYPEDEF_VK_TO_WCHARS(4)
TYPEDEF_VK_TO_WCHARS(5)
#undef TYPEDEF_VK_TO_WCHARS

// One table of character rows; every row has nModifications columns and
// is cbSize bytes long. A list of these ends with an all-zero entry. The
// rows are VK_TO_WCHARSn of any n, so the pointer names no row type.
typedef struct _VK_TO_WCHAR_TABLE {
  KBD_POINTER(const void) pVkToWchars;
  BYTE nModifications;
  BYTE cbSize;
} VK_TO_WCHAR_TABLE, *PVK_TO_WCHAR_TABLE;

typedef struct _DEADKEY {
  DWORD dwBoth;  // dead character in the high word, base in the low
  WCHAR wchComposed;
  USHORT uFlags;
} DEADKEY, *PDEADKEY;

typedef struct _LIGATURE1 {
  BYTE VirtualKey;
  WORD ModificationNumber;
  WCHAR wch[1];
} LIGATURE1, *PLIGATURE1;

// A key name, or the name of a dead key's character.
typedef KBD_POINTER(const WCHAR) KBD_LPWSTR;

// Key name: scan code and the name shown for it.
typedef struct _VSC_LPWSTR {
  BYTE vsc;
  KBD_LPWSTR pwsz;
} VSC_LPWSTR, *PVSC_LPWSTR;

// Prefixed scan code and its virtual key with flags.
typedef struct _VSC_VK {
  BYTE Vsc;
  USHORT Vk;
} VSC_VK, *PVSC_VK;

typedef struct _KBDTABLES {
  KBD_POINTER(const MODIFIERS) pCharModifiers;
  KBD_POINTER(const VK_TO_WCHAR_TABLE) pVkToWcharTable;
  KBD_POINTER(const DEADKEY) pDeadKey;
  KBD_POINTER(const VSC_LPWSTR) pKeyNames;
  KBD_POINTER(const VSC_LPWSTR) pKeyNamesExt;
  KBD_POINTER(const KBD_LPWSTR) pKeyNamesDead;
  KBD_POINTER(const USHORT) pusVSCtoVK;
  BYTE bMaxVSCtoVK;
  KBD_POINTER(const VSC_VK) pVSCtoVK_E0;
  KBD_POINTER(const VSC_VK) pVSCtoVK_E1;
  DWORD fLocaleFlags;
  BYTE nLgMax;
  BYTE cbLgEntry;
  KBD_POINTER(const LIGATURE1) pLigature;
  DWORD dwType;
  DWORD dwSubType;
} KBDTABLES, *PKBDTABLES;

// The export every layout module provides: the address of its descriptor.
// A 32-bit function returns a 64-bit value in EDX:EAX, so the WOW64 module
// hands out the address zero-extended to 64 bits, as its records do.
#if defined(LDKEYS_LONG_POINTERS)
extern "C" ULONGLONG KbdLayerDescriptor();
#else
extern "C" const KBDTABLES* KbdLayerDescriptor();
#endif

// The records against the stated layout.
static_assert(sizeof(KBD_POINTER(const void)) == KbdRecords.PointerSize);
static_assert(alignof(KBD_POINTER(const void)) == KbdRecords.PointerSize);

static_assert(sizeof(VK_TO_BIT) == KbdVkToBitSize);
static_assert(offsetof(MODIFIERS, wMaxModBits) == KbdRecords.ModifiersMaxModBits);
static_assert(offsetof(MODIFIERS, ModNumber) == KbdRecords.ModifiersModNumber);

static_assert(offsetof(VK_TO_WCHARS5, Attributes) == 1);
static_assert(offsetof(VK_TO_WCHARS5, wch) == KbdWcharRowCells);
static_assert(sizeof(VK_TO_WCHARS1) == KbdWcharRowCells + 1 * sizeof(WCHAR));
static_assert(sizeof(VK_TO_WCHARS5) == KbdWcharRowCells + 5 * sizeof(WCHAR));

static_assert(sizeof(VK_TO_WCHAR_TABLE) == KbdRecords.WcharTableSize);
static_assert(offsetof(VK_TO_WCHAR_TABLE, nModifications) == KbdRecords.WcharTableModifications);
static_assert(offsetof(VK_TO_WCHAR_TABLE, cbSize) == KbdRecords.WcharTableRowSize);

static_assert(sizeof(DEADKEY) == KbdDeadKeySize);
static_assert(offsetof(DEADKEY, wchComposed) == KbdDeadKeyComposed);
static_assert(offsetof(DEADKEY, uFlags) == KbdDeadKeyFlags);
static_assert(offsetof(LIGATURE1, ModificationNumber) == KbdLigatureColumn);
static_assert(offsetof(LIGATURE1, wch) == KbdLigatureCells);

static_assert(sizeof(VSC_LPWSTR) == KbdRecords.KeyNameSize);
static_assert(offsetof(VSC_LPWSTR, pwsz) == KbdRecords.KeyNameText);
static_assert(sizeof(VSC_VK) == KbdVscVkSize);
static_assert(offsetof(VSC_VK, Vk) == KbdVscVkVk);

static_assert(sizeof(KBDTABLES) == KbdRecords.TablesSize);
static_assert(offsetof(KBDTABLES, pCharModifiers) == KbdRecords.CharModifiers);
static_assert(offsetof(KBDTABLES, pVkToWcharTable) == KbdRecords.VkToWcharTable);
static_assert(offsetof(KBDTABLES, pDeadKey) == KbdRecords.DeadKey);
static_assert(offsetof(KBDTABLES, pKeyNames) == KbdRecords.KeyNames);
static_assert(offsetof(KBDTABLES, pKeyNamesExt) == KbdRecords.KeyNamesExt);
static_assert(offsetof(KBDTABLES, pKeyNamesDead) == KbdRecords.KeyNamesDead);
static_assert(offsetof(KBDTABLES, pusVSCtoVK) == KbdRecords.VscToVk);
static_assert(offsetof(KBDTABLES, bMaxVSCtoVK) == KbdRecords.MaxVscToVk);
static_assert(offsetof(KBDTABLES, pVSCtoVK_E0) == KbdRecords.VscToVkE0);
static_assert(offsetof(KBDTABLES, pVSCtoVK_E1) == KbdRecords.VscToVkE1);
static_assert(offsetof(KBDTABLES, fLocaleFlags) == KbdRecords.LocaleFlags);
static_assert(offsetof(KBDTABLES, nLgMax) == KbdRecords.LgMax);
static_assert(offsetof(KBDTABLES, cbLgEntry) == KbdRecords.LgEntry);
static_assert(offsetof(KBDTABLES, pLigature) == KbdRecords.Ligature);
static_assert(offsetof(KBDTABLES, dwType) == KbdRecords.Type);
static_assert(offsetof(KBDTABLES, dwSubType) == KbdRecords.SubType);

#endif  // _WIN32

#endif
