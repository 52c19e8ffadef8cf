// The Lindorian keyboard layout: constant tables in the Windows
// keyboard-layout format and the one accessor that hands them out.
//
// Diacritics are combining characters typed after their letter, so the
// layout has no dead keys. The ASCII characters that the marks push off
// their keys, and a few extra letters and quotation marks, sit on AltGr.
//
// The keyboard subsystem reads everything here straight from the mapped
// image; nothing is ever written, and all of it is const. Every table is
// constinit: a table that needed code to fill it in would stay empty, as a
// layout module has no entry point to run that code.
#include "kbd.h"

// The tables are laid out by hand so that their rows read like the keys.
// clang-format off

namespace {

// ---------------------------------------------------------------------------
// Modifiers: which keys set which modifier bit, and which character column
// each combination of bits selects.

constinit const VK_TO_BIT ModifierKeys[] = {
    { VK_SHIFT,   KBDSHIFT },
    { VK_CONTROL, KBDCTRL  },
    { VK_MENU,    KBDALT   },
    { 0,          0        },
};

// Character columns used by the rows below.
enum : BYTE { Base, Shift, Ctrl, AltGr, ShiftAltGr };

// clang cannot yet evaluate an initialised flexible array member at
// compile time, so only gcc is asked to prove this record constant; clang
// places it in read-only data as written all the same.
#if defined(__clang__)
#define MODIFIERS_CONSTINIT
#else
#define MODIFIERS_CONSTINIT constinit
#endif

__extension__ MODIFIERS_CONSTINIT const MODIFIERS CharModifiers = {
    ModifierKeys,
    7,  // highest modifier mask
    {
        Base,         // (none)
        Shift,        // Shift
        Ctrl,         // Ctrl
        Ctrl,         // Shift+Ctrl: same as Ctrl
        SHFT_INVALID, // Alt
        SHFT_INVALID, // Shift+Alt
        AltGr,        // Ctrl+Alt, or right Alt
        ShiftAltGr,   // Shift+Ctrl+Alt, or Shift+right Alt
    },
};

// ---------------------------------------------------------------------------
// Scan codes to virtual keys: the standard map of the 101/102-key keyboard.

// Navigation keys of the numeric keypad turn into digits with Num Lock.
constexpr USHORT KEYPAD = KBDSPECIAL | KBDNUMPAD;

constinit const USHORT ScanCodeToVk[] = {
/* 00 */ VK__none_, VK_ESCAPE,
/* 02 */ '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', VK_OEM_MINUS, VK_OEM_PLUS, VK_BACK,
/* 0F */ VK_TAB, 'Q', 'W', 'E', 'R', 'T', 'Y', 'U', 'I', 'O', 'P', VK_OEM_4, VK_OEM_6, VK_RETURN,
/* 1D */ VK_LCONTROL, 'A', 'S', 'D', 'F', 'G', 'H', 'J', 'K', 'L', VK_OEM_1, VK_OEM_7, VK_OEM_3,
/* 2A */ VK_LSHIFT, VK_OEM_5, 'Z', 'X', 'C', 'V', 'B', 'N', 'M', VK_OEM_COMMA, VK_OEM_PERIOD, VK_OEM_2,
/* 36 */ VK_RSHIFT | KBDEXT,
/* 37 */ VK_MULTIPLY | KBDMULTIVK,
/* 38 */ VK_LMENU, VK_SPACE, VK_CAPITAL,
/* 3B */ VK_F1, VK_F2, VK_F3, VK_F4, VK_F5, VK_F6, VK_F7, VK_F8, VK_F9, VK_F10,
/* 45 */ VK_NUMLOCK | KBDEXT | KBDMULTIVK,
/* 46 */ VK_SCROLL | KBDMULTIVK,
/* 47 */ VK_HOME   | KEYPAD, VK_UP     | KEYPAD, VK_PRIOR | KEYPAD, VK_SUBTRACT,
/* 4B */ VK_LEFT   | KEYPAD, VK_CLEAR  | KEYPAD, VK_RIGHT | KEYPAD, VK_ADD,
/* 4F */ VK_END    | KEYPAD, VK_DOWN   | KEYPAD, VK_NEXT  | KEYPAD,
/* 52 */ VK_INSERT | KEYPAD, VK_DELETE | KEYPAD,
/* 54 */ VK_SNAPSHOT, VK__none_, VK_OEM_102, VK_F11, VK_F12, VK_CLEAR,
/* 5A */ VK_OEM_WSCTRL, VK_OEM_FINISH, VK_OEM_JUMP, VK_EREOF, VK_OEM_BACKTAB, VK_OEM_AUTO,
/* 60 */ VK__none_, VK__none_, VK_ZOOM, VK_HELP,
/* 64 */ VK_F13, VK_F14, VK_F15, VK_F16, VK_F17, VK_F18, VK_F19, VK_F20, VK_F21, VK_F22, VK_F23,
/* 6F */ VK_OEM_PA3,
/* 70 */ VK__none_, VK_OEM_RESET, VK__none_, VK_ABNT_C1, VK__none_, VK__none_, VK_F24,
/* 77 */ VK__none_, VK__none_, VK__none_, VK__none_,
/* 7B */ VK_OEM_PA1, VK_TAB, VK__none_, VK_ABNT_C2,
};
static_assert(sizeof ScanCodeToVk / sizeof ScanCodeToVk[0] == 0x7F);

// Keys sent with an E0 prefix. The subsystem searches this list from the
// top, so its order is free; Enter and Break come last.
constinit const VSC_VK ScanCodeToVkE0[] = {
    { 0x10, VK_MEDIA_PREV_TRACK    | KBDEXT },
    { 0x19, VK_MEDIA_NEXT_TRACK    | KBDEXT },
    { 0x1D, VK_RCONTROL            | KBDEXT },
    { 0x20, VK_VOLUME_MUTE         | KBDEXT },
    { 0x21, VK_LAUNCH_APP2         | KBDEXT },
    { 0x22, VK_MEDIA_PLAY_PAUSE    | KBDEXT },
    { 0x24, VK_MEDIA_STOP          | KBDEXT },
    { 0x2E, VK_VOLUME_DOWN         | KBDEXT },
    { 0x30, VK_VOLUME_UP           | KBDEXT },
    { 0x32, VK_BROWSER_HOME        | KBDEXT },
    { 0x35, VK_DIVIDE              | KBDEXT },
    { 0x37, VK_SNAPSHOT            | KBDEXT },
    { 0x38, VK_RMENU               | KBDEXT },
    { 0x47, VK_HOME                | KBDEXT },
    { 0x48, VK_UP                  | KBDEXT },
    { 0x49, VK_PRIOR               | KBDEXT },
    { 0x4B, VK_LEFT                | KBDEXT },
    { 0x4D, VK_RIGHT               | KBDEXT },
    { 0x4F, VK_END                 | KBDEXT },
    { 0x50, VK_DOWN                | KBDEXT },
    { 0x51, VK_NEXT                | KBDEXT },
    { 0x52, VK_INSERT              | KBDEXT },
    { 0x53, VK_DELETE              | KBDEXT },
    { 0x5B, VK_LWIN                | KBDEXT },
    { 0x5C, VK_RWIN                | KBDEXT },
    { 0x5D, VK_APPS                | KBDEXT },
    { 0x5F, VK_SLEEP               | KBDEXT },
    { 0x65, VK_BROWSER_SEARCH      | KBDEXT },
    { 0x66, VK_BROWSER_FAVORITES   | KBDEXT },
    { 0x67, VK_BROWSER_REFRESH     | KBDEXT },
    { 0x68, VK_BROWSER_STOP        | KBDEXT },
    { 0x69, VK_BROWSER_FORWARD     | KBDEXT },
    { 0x6A, VK_BROWSER_BACK        | KBDEXT },
    { 0x6B, VK_LAUNCH_APP1         | KBDEXT },
    { 0x6C, VK_LAUNCH_MAIL         | KBDEXT },
    { 0x6D, VK_LAUNCH_MEDIA_SELECT | KBDEXT },
    { 0x1C, VK_RETURN              | KBDEXT },
    { 0x46, VK_CANCEL              | KBDEXT },
    { 0,    0                               },
};

// Pause arrives as E1 1D 45.
constinit const VSC_VK ScanCodeToVkE1[] = {
    { 0x1D, VK_PAUSE },
    { 0,    0        },
};

// ---------------------------------------------------------------------------
// Key names, as shown by GetKeyNameText.

constinit const VSC_LPWSTR KeyNames[] = {
    { 0x01, L"Esc"         },
    { 0x0E, L"Backspace"   },
    { 0x0F, L"Tab"         },
    { 0x1C, L"Enter"       },
    { 0x1D, L"Ctrl"        },
    { 0x2A, L"Shift"       },
    { 0x36, L"Right Shift" },
    { 0x37, L"Num *"       },
    { 0x38, L"Alt"         },
    { 0x39, L"Space"       },
    { 0x3A, L"Caps Lock"   },
    { 0x3B, L"F1"          },
    { 0x3C, L"F2"          },
    { 0x3D, L"F3"          },
    { 0x3E, L"F4"          },
    { 0x3F, L"F5"          },
    { 0x40, L"F6"          },
    { 0x41, L"F7"          },
    { 0x42, L"F8"          },
    { 0x43, L"F9"          },
    { 0x44, L"F10"         },
    { 0x45, L"Pause"       },
    { 0x46, L"Scroll Lock" },
    { 0x47, L"Num 7"       },
    { 0x48, L"Num 8"       },
    { 0x49, L"Num 9"       },
    { 0x4A, L"Num -"       },
    { 0x4B, L"Num 4"       },
    { 0x4C, L"Num 5"       },
    { 0x4D, L"Num 6"       },
    { 0x4E, L"Num +"       },
    { 0x4F, L"Num 1"       },
    { 0x50, L"Num 2"       },
    { 0x51, L"Num 3"       },
    { 0x52, L"Num 0"       },
    { 0x53, L"Num Del"     },
    { 0x54, L"Sys Req"     },
    { 0x57, L"F11"         },
    { 0x58, L"F12"         },
    { 0x7C, L"F13"         },
    { 0x7D, L"F14"         },
    { 0x7E, L"F15"         },
    { 0x7F, L"F16"         },
    { 0x80, L"F17"         },
    { 0x81, L"F18"         },
    { 0x82, L"F19"         },
    { 0x83, L"F20"         },
    { 0x84, L"F21"         },
    { 0x85, L"F22"         },
    { 0x86, L"F23"         },
    { 0x87, L"F24"         },
    { 0,    nullptr        },
};

constinit const VSC_LPWSTR KeyNamesExt[] = {
    { 0x1C, L"Num Enter"     },
    { 0x1D, L"Right Ctrl"    },
    { 0x35, L"Num /"         },
    { 0x37, L"Prnt Scrn"     },
    { 0x38, L"Right Alt"     },
    { 0x45, L"Num Lock"      },
    { 0x46, L"Break"         },
    { 0x47, L"Home"          },
    { 0x48, L"Up"            },
    { 0x49, L"Page Up"       },
    { 0x4B, L"Left"          },
    { 0x4D, L"Right"         },
    { 0x4F, L"End"           },
    { 0x50, L"Down"          },
    { 0x51, L"Page Down"     },
    { 0x52, L"Insert"        },
    { 0x53, L"Delete"        },
    { 0x54, L"<00>"          },
    { 0x56, L"Help"          },
    { 0x5B, L"Left Windows"  },
    { 0x5C, L"Right Windows" },
    { 0x5D, L"Application"   },
    { 0,    nullptr          },
};

// ---------------------------------------------------------------------------
// The character map. Each key has one row in one of the tables; the column
// is picked through CharModifiers. A column past the row's width, or a
// WCH_NONE cell, means no character. Rows end with a zero virtual key.

constexpr WCHAR NONE = WCH_NONE;

// Control keys: Base, Shift, Ctrl.
constinit const VK_TO_WCHARS3 ControlKeys[] = {
//    key         attr     Base    Shift   Ctrl
    { VK_BACK,    0,     { 0x0008, 0x0008, 0x007F } }, // backspace, delete
    { VK_ESCAPE,  0,     { 0x001B, 0x001B, 0x001B } }, // escape
    { VK_RETURN,  0,     { 0x000D, 0x000D, 0x000A } }, // carriage return, line feed
    { VK_SPACE,   0,     { ' ',    ' ',    ' '    } },
    { VK_CANCEL,  0,     { 0x0003, 0x0003, 0x0003 } }, // end of text
    { 0,          0,     { 0,      0,      0      } },
};

// Keys with an AltGr layer: Base, Shift, Ctrl, AltGr, Shift+AltGr.
// Caps Lock leaves the AltGr columns alone.
constinit const VK_TO_WCHARS5 AltGrKeys[] = {
//    key            attr       Base    Shift   Ctrl    AltGr   Shift+AltGr
    { VK_OEM_7,      0,      { 0x0301, '"',    NONE,   '\'',   '"'    } }, // combining acute
    { VK_OEM_3,      0,      { 0x0300, '~',    NONE,   '`',    '~'    } }, // combining grave
    { '6',           0,      { '6',    0x0302, NONE,   '^',    '^'    } }, // combining circumflex
    { VK_OEM_PLUS,   0,      { 0x0304, '+',    NONE,   '=',    '+'    } }, // combining macron
    { VK_OEM_5,      0,      { '\\',   0x030D, 0x001C, '\\',   '|'    } }, // combining vertical line above; file separator
    { VK_OEM_102,    0,      { '\\',   0x030D, 0x001C, '\\',   '|'    } }, // combining vertical line above; file separator
    { '9',           0,      { '9',    0x0306, NONE,   '(',    '('    } }, // combining breve
    { VK_OEM_4,      0,      { '[',    '{',    0x001B, 0x2019, 0x2019 } }, // escape; right single quote
    { VK_OEM_6,      0,      { ']',    '}',    0x001D, 0x2018, 0x2018 } }, // group separator; left single quote
    { 'Q',           CAPLOK, { 0x0358, 0x00B7, NONE,   'q',    'Q'    } }, // combining dot above right, middle dot
    { 'Z',           CAPLOK, { 0x1E73, 0x1E72, NONE,   'z',    'Z'    } }, // u with diaeresis below
    { 'W',           CAPLOK, { 0x00F6, 0x00D6, NONE,   'w',    'W'    } }, // o with diaeresis
    { 'N',           CAPLOK, { 'n',    'N',    NONE,   0x207F, 0x207F } }, // superscript n
    { 'X',           CAPLOK, { 0x207F, 0x207F, NONE,   'x',    'X'    } }, // superscript n
    { 'A',           CAPLOK, { 'a',    'A',    NONE,   0x00E5, 0x00C5 } }, // a with ring above
    { 'D',           CAPLOK, { 'd',    'D',    NONE,   0x0111, 0x0110 } }, // d with stroke
    { 'I',           CAPLOK, { 'i',    'I',    NONE,   0x00EF, 0x00CF } }, // i with diaeresis
    { 'U',           CAPLOK, { 'u',    'U',    NONE,   0x016F, 0x016E } }, // u with ring above
    { 'C',           CAPLOK, { 'c',    'C',    NONE,   0x00A9, 0x00A9 } }, // copyright sign
    { 'R',           CAPLOK, { 'r',    'R',    NONE,   0x00AE, 0x00AE } }, // registered sign
    { VK_OEM_COMMA,  0,      { ',',    '<',    NONE,   0x201C, 0x201C } }, // left double quote
    { VK_OEM_PERIOD, 0,      { '.',    '>',    NONE,   0x201D, 0x201D } }, // right double quote
    { 0,             0,      { 0,      0,      0,      0,      0      } },
};

// Ordinary keys: Base, Shift.
constinit const VK_TO_WCHARS2 PlainKeys[] = {
//    key            attr       Base    Shift
    { '1',           0,      { '1',    '!'    } },
    { '2',           0,      { '2',    '@'    } },
    { '3',           0,      { '3',    '#'    } },
    { '4',           0,      { '4',    '$'    } },
    { '5',           0,      { '5',    '%'    } },
    { '7',           0,      { '7',    '&'    } },
    { '8',           0,      { '8',    '*'    } },
    { '0',           0,      { '0',    ')'    } },
    { 'E',           CAPLOK, { 'e',    'E'    } },
    { 'T',           CAPLOK, { 't',    'T'    } },
    { 'Y',           CAPLOK, { 'y',    'Y'    } },
    { 'O',           CAPLOK, { 'o',    'O'    } },
    { 'P',           CAPLOK, { 'p',    'P'    } },
    { 'S',           CAPLOK, { 's',    'S'    } },
    { 'F',           CAPLOK, { 'f',    'F'    } },
    { 'G',           CAPLOK, { 'g',    'G'    } },
    { 'H',           CAPLOK, { 'h',    'H'    } },
    { 'J',           CAPLOK, { 'j',    'J'    } },
    { 'K',           CAPLOK, { 'k',    'K'    } },
    { 'L',           CAPLOK, { 'l',    'L'    } },
    { VK_OEM_1,      0,      { ';',    ':'    } },
    { 'V',           CAPLOK, { 'v',    'V'    } },
    { 'B',           CAPLOK, { 'b',    'B'    } },
    { 'M',           CAPLOK, { 'm',    'M'    } },
    { VK_OEM_MINUS,  0,      { '-',    '_'    } },
    { VK_OEM_2,      0,      { '/',    '?'    } },
    { VK_DECIMAL,    0,      { '.',    '.'    } },
    { VK_TAB,        0,      { 0x0009, 0x0009 } }, // tab
    { VK_ADD,        0,      { '+',    '+'    } },
    { VK_DIVIDE,     0,      { '/',    '/'    } },
    { VK_MULTIPLY,   0,      { '*',    '*'    } },
    { VK_SUBTRACT,   0,      { '-',    '-'    } },
    { 0,             0,      { 0,      0      } },
};

// Numeric keypad with Num Lock on: Base only.
constinit const VK_TO_WCHARS1 KeypadKeys[] = {
//    key            attr       Base
    { VK_NUMPAD0,    0,      { '0'    } },
    { VK_NUMPAD1,    0,      { '1'    } },
    { VK_NUMPAD2,    0,      { '2'    } },
    { VK_NUMPAD3,    0,      { '3'    } },
    { VK_NUMPAD4,    0,      { '4'    } },
    { VK_NUMPAD5,    0,      { '5'    } },
    { VK_NUMPAD6,    0,      { '6'    } },
    { VK_NUMPAD7,    0,      { '7'    } },
    { VK_NUMPAD8,    0,      { '8'    } },
    { VK_NUMPAD9,    0,      { '9'    } },
    { 0,             0,      { 0      } },
};

static_assert(sizeof ControlKeys / sizeof ControlKeys[0] == 5 + 1);
static_assert(sizeof AltGrKeys / sizeof AltGrKeys[0] == 22 + 1);
static_assert(sizeof PlainKeys / sizeof PlainKeys[0] == 32 + 1);
static_assert(sizeof KeypadKeys / sizeof KeypadKeys[0] == 10 + 1);

// The list entry for a table of rows: its address, its column count and
// its row size.
#define CHARACTER_TABLE(rows) \
    { rows, sizeof rows[0].wch / sizeof rows[0].wch[0], sizeof rows[0] }

// The subsystem tries the tables in this order; the keypad comes last.
constinit const VK_TO_WCHAR_TABLE CharacterMap[] = {
    CHARACTER_TABLE(ControlKeys),
    CHARACTER_TABLE(AltGrKeys),
    CHARACTER_TABLE(PlainKeys),
    CHARACTER_TABLE(KeypadKeys),
    { nullptr, 0, 0 },
};

// ---------------------------------------------------------------------------

constinit const KBDTABLES LayoutDescriptor = {
    .pCharModifiers  = &CharModifiers,
    .pVkToWcharTable = CharacterMap,
    .pDeadKey        = nullptr, // diacritics follow their letter: no dead keys
    .pKeyNames       = KeyNames,
    .pKeyNamesExt    = KeyNamesExt,
    .pKeyNamesDead   = nullptr,
    .pusVSCtoVK      = ScanCodeToVk,
    .bMaxVSCtoVK     = sizeof ScanCodeToVk / sizeof ScanCodeToVk[0],
    .pVSCtoVK_E0     = ScanCodeToVkE0,
    .pVSCtoVK_E1     = ScanCodeToVkE1,
    .fLocaleFlags    = MAKELONG(KLLF_ALTGR, KBD_VERSION), // right Alt is AltGr
    .nLgMax          = 0,
    .cbLgEntry       = 0,
    .pLigature       = nullptr,
    .dwType          = 0, // any keyboard type
    .dwSubType       = 0,
};

} // namespace

// clang-format on

// The module's one export: the keyboard subsystem calls it once after
// mapping the module and keeps the address for as long as it stays mapped.
#if defined(LDKEYS_LONG_POINTERS)
extern "C" ULONGLONG KbdLayerDescriptor() { return reinterpret_cast<ULONG_PTR>(&LayoutDescriptor); }
#else
extern "C" const KBDTABLES* KbdLayerDescriptor() { return &LayoutDescriptor; }
#endif
