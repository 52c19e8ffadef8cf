// Records and constants of the Windows keyboard-layout format.
//
// The keyboard subsystem calls a layout module's KbdLayerDescriptor export
// and reads these records directly out of the mapped image, so their layout
// must match the platform's byte for byte. mingw-w64 ships no header for
// them; this one follows the platform's published definitions for 32-bit
// x86. The pointers in the records refer to constant data here: the
// subsystem only ever reads the tables, and a pointer to const has the same
// representation as a plain one.
//
// The VK_ codes come from <windows.h>; the few that only the layout header
// defines are added below.
#ifndef LDKEYS_KBD_H
#define LDKEYS_KBD_H

#include <windows.h>
#include <stddef.h>

// Flags in the high byte of a scan-code map entry.
#define KBDEXT     0x0100 // extended key (E0 prefix, or right Shift)
#define KBDMULTIVK 0x0200 // key yields another VK with some modifiers
#define KBDSPECIAL 0x0400 // key needs special handling by the subsystem
#define KBDNUMPAD  0x0800 // numeric-keypad key, affected by Num Lock

// Modifier bits used in VK_TO_BIT and as the index into ModNumber.
#define KBDSHIFT 0x01
#define KBDCTRL  0x02
#define KBDALT   0x04

// ModNumber value for a modifier combination that has no column.
#define SHFT_INVALID 0x0F

// Attribute byte of a character row.
#define CAPLOK      0x01 // Caps Lock acts as Shift on the Base/Shift columns
#define SGCAPS      0x02 // Caps Lock takes its characters from the next row
#define CAPLOKALTGR 0x04 // Caps Lock acts as Shift on the AltGr columns
#define KANALOK     0x08
#define GRPSELTAP   0x80

// Special character cells.
#define WCH_NONE 0xF000 // no character for this key and column
#define WCH_DEAD 0xF001 // dead key; the character is in the next row
#define WCH_LGTR 0xF002 // ligature; the characters are in pLigature

// Low word of KBDTABLES.fLocaleFlags.
#define KLLF_ALTGR     0x0001 // right Alt acts as Ctrl+Alt
#define KLLF_SHIFTLOCK 0x0002
#define KLLF_LRM_RLM   0x0004

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
// has no flexible array members; __extension__ tells g++ that the GNU
// extension is meant, both here and where an instance is initialised.
typedef struct _MODIFIERS {
    const VK_TO_BIT *pVkToBit;
    WORD             wMaxModBits;
    __extension__ BYTE ModNumber[];
} MODIFIERS, *PMODIFIERS;

#define TYPEDEF_VK_TO_WCHARS(n)          \
    typedef struct _VK_TO_WCHARS##n {    \
        BYTE  VirtualKey;                \
        BYTE  Attributes;                \
        WCHAR wch[n];                    \
    } VK_TO_WCHARS##n, *PVK_TO_WCHARS##n;

TYPEDEF_VK_TO_WCHARS(1)
TYPEDEF_VK_TO_WCHARS(2)
TYPEDEF_VK_TO_WCHARS(3)
TYPEDEF_VK_TO_WCHARS(4)
TYPEDEF_VK_TO_WCHARS(5)
#undef TYPEDEF_VK_TO_WCHARS

// One table of character rows; every row has nModifications columns and
// is cbSize bytes long. A list of these ends with an all-zero entry.
typedef struct _VK_TO_WCHAR_TABLE {
    const VK_TO_WCHARS1 *pVkToWchars;
    BYTE                 nModifications;
    BYTE                 cbSize;
} VK_TO_WCHAR_TABLE, *PVK_TO_WCHAR_TABLE;

typedef struct _DEADKEY {
    DWORD  dwBoth;      // dead character in the high word, base in the low
    WCHAR  wchComposed;
    USHORT uFlags;
} DEADKEY, *PDEADKEY;

typedef struct _LIGATURE1 {
    BYTE  VirtualKey;
    WORD  ModificationNumber;
    WCHAR wch[1];
} LIGATURE1, *PLIGATURE1;

// Key name: scan code and the name shown for it.
typedef struct _VSC_LPWSTR {
    BYTE         vsc;
    const WCHAR *pwsz;
} VSC_LPWSTR, *PVSC_LPWSTR;

// Prefixed scan code and its virtual key with flags.
typedef struct _VSC_VK {
    BYTE   Vsc;
    USHORT Vk;
} VSC_VK, *PVSC_VK;

typedef struct _KBDTABLES {
    const MODIFIERS         *pCharModifiers;
    const VK_TO_WCHAR_TABLE *pVkToWcharTable;
    const DEADKEY           *pDeadKey;
    const VSC_LPWSTR        *pKeyNames;
    const VSC_LPWSTR        *pKeyNamesExt;
    const WCHAR *const      *pKeyNamesDead;
    const USHORT            *pusVSCtoVK;
    BYTE                     bMaxVSCtoVK;
    const VSC_VK            *pVSCtoVK_E0;
    const VSC_VK            *pVSCtoVK_E1;
    DWORD                    fLocaleFlags;
    BYTE                     nLgMax;
    BYTE                     cbLgEntry;
    const LIGATURE1         *pLigature;
    DWORD                    dwType;
    DWORD                    dwSubType;
} KBDTABLES, *PKBDTABLES;

// The export every layout module provides: the address of its descriptor.
extern "C" const KBDTABLES *KbdLayerDescriptor();

// The records are read by a 32-bit subsystem: pin their 32-bit layouts.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(VK_TO_BIT) == 2);
static_assert(sizeof(MODIFIERS) == 8);
static_assert(offsetof(MODIFIERS, wMaxModBits) == 4);
static_assert(offsetof(MODIFIERS, ModNumber) == 6);

static_assert(sizeof(VK_TO_WCHARS1) == 4);
static_assert(sizeof(VK_TO_WCHARS2) == 6);
static_assert(sizeof(VK_TO_WCHARS3) == 8);
static_assert(sizeof(VK_TO_WCHARS4) == 10);
static_assert(sizeof(VK_TO_WCHARS5) == 12);
static_assert(offsetof(VK_TO_WCHARS5, Attributes) == 1);
static_assert(offsetof(VK_TO_WCHARS5, wch) == 2);

static_assert(sizeof(VK_TO_WCHAR_TABLE) == 8);
static_assert(offsetof(VK_TO_WCHAR_TABLE, nModifications) == 4);
static_assert(offsetof(VK_TO_WCHAR_TABLE, cbSize) == 5);

static_assert(sizeof(DEADKEY) == 8);
static_assert(sizeof(LIGATURE1) == 6);

static_assert(sizeof(VSC_LPWSTR) == 8);
static_assert(offsetof(VSC_LPWSTR, pwsz) == 4);
static_assert(sizeof(VSC_VK) == 4);
static_assert(offsetof(VSC_VK, Vk) == 2);

static_assert(sizeof(KBDTABLES) == 60);
static_assert(offsetof(KBDTABLES, pCharModifiers) == 0);
static_assert(offsetof(KBDTABLES, pVkToWcharTable) == 4);
static_assert(offsetof(KBDTABLES, pDeadKey) == 8);
static_assert(offsetof(KBDTABLES, pKeyNames) == 12);
static_assert(offsetof(KBDTABLES, pKeyNamesExt) == 16);
static_assert(offsetof(KBDTABLES, pKeyNamesDead) == 20);
static_assert(offsetof(KBDTABLES, pusVSCtoVK) == 24);
static_assert(offsetof(KBDTABLES, bMaxVSCtoVK) == 28);
static_assert(offsetof(KBDTABLES, pVSCtoVK_E0) == 32);
static_assert(offsetof(KBDTABLES, pVSCtoVK_E1) == 36);
static_assert(offsetof(KBDTABLES, fLocaleFlags) == 40);
static_assert(offsetof(KBDTABLES, nLgMax) == 44);
static_assert(offsetof(KBDTABLES, cbLgEntry) == 45);
static_assert(offsetof(KBDTABLES, pLigature) == 48);
static_assert(offsetof(KBDTABLES, dwType) == 52);
static_assert(offsetof(KBDTABLES, dwSubType) == 56);
#endif

#endif
