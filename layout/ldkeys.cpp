// The Lindorian keyboard layout: constant tables in the Windows
// keyboard-layout format and the one accessor that hands them out.
//
// Diacritics are combining characters typed after their letter, so the
// layout has no dead keys. The ASCII characters that the marks push off
// their keys, and a few extra letters and quotation marks, sit on AltGr.
//
// The keyboard subsystem reads everything here straight from the mapped
// image; nothing is ever written, and all of it is const.
#include "kbd.h"

namespace {

// ---------------------------------------------------------------------------
// Modifiers: which keys set which modifier bit, and which character column
// each combination of bits selects.

const VK_TO_BIT ModifierKeys[] = {
    { VK_SHIFT,   KBDSHIFT },
    { VK_CONTROL, KBDCTRL  },
    { VK_MENU,    KBDALT   },
    { 0,          0        },
};

// Character columns used by the rows below.
enum : BYTE { Base, Shift, Ctrl, AltGr, ShiftAltGr };

__extension__ const MODIFIERS CharModifiers = {
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

const USHORT ScanCodeToVk[] = {
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
const VSC_VK ScanCodeToVkE0[] = {
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
const VSC_VK ScanCodeToVkE1[] = {
    { 0x1D, VK_PAUSE },
    { 0,    0        },
};

// ---------------------------------------------------------------------------
// Key names, as shown by GetKeyNameText.

const VSC_LPWSTR KeyNames[] = {
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

const VSC_LPWSTR KeyNamesExt[] = {
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
const VK_TO_WCHARS3 ControlKeys[] = {
//    key         attr     Base    Shift   Ctrl
    { VK_BACK,    0,     { 0x0008, 0x0008, 0x007F } },
    { VK_ESCAPE,  0,     { 0x001B, 0x001B, 0x001B } },
    { VK_RETURN,  0,     { 0x000D, 0x000D, 0x000A } },
    { VK_SPACE,   0,     { 0x0020, 0x0020, 0x0020 } },
    { VK_CANCEL,  0,     { 0x0003, 0x0003, 0x0003 } },
    { 0,          0,     { 0,      0,      0      } },
};

// Keys with an AltGr layer: Base, Shift, Ctrl, AltGr, Shift+AltGr.
// Caps Lock leaves the AltGr columns alone.
const VK_TO_WCHARS5 AltGrKeys[] = {
//    key            attr       Base    Shift   Ctrl    AltGr   Shift+AltGr
    { VK_OEM_7,      0,      { 0x0301, 0x0022, NONE,   0x0027, 0x0022 } }, // combining acute
    { VK_OEM_3,      0,      { 0x0300, 0x007E, NONE,   0x0060, 0x007E } }, // combining grave
    { '6',           0,      { 0x0036, 0x0302, NONE,   0x005E, 0x005E } }, // combining circumflex
    { VK_OEM_PLUS,   0,      { 0x0304, 0x002B, NONE,   0x003D, 0x002B } }, // combining macron
    { VK_OEM_5,      0,      { 0x005C, 0x030D, 0x001C, 0x005C, 0x007C } }, // combining vertical line above
    { VK_OEM_102,    0,      { 0x005C, 0x030D, 0x001C, 0x005C, 0x007C } }, // combining vertical line above
    { '9',           0,      { 0x0039, 0x0306, NONE,   0x0028, 0x0028 } }, // combining breve
    { VK_OEM_4,      0,      { 0x005B, 0x007B, 0x001B, 0x2019, 0x2019 } }, // right single quote
    { VK_OEM_6,      0,      { 0x005D, 0x007D, 0x001D, 0x2018, 0x2018 } }, // left single quote
    { 'Q',           CAPLOK, { 0x0358, 0x00B7, NONE,   0x0071, 0x0051 } }, // combining dot above right, middle dot
    { 'Z',           CAPLOK, { 0x1E73, 0x1E72, NONE,   0x007A, 0x005A } }, // u with diaeresis below
    { 'W',           CAPLOK, { 0x00F6, 0x00D6, NONE,   0x0077, 0x0057 } }, // o with diaeresis
    { 'N',           CAPLOK, { 0x006E, 0x004E, NONE,   0x207F, 0x207F } }, // superscript n
    { 'X',           CAPLOK, { 0x207F, 0x207F, NONE,   0x0078, 0x0058 } }, // superscript n
    { 'A',           CAPLOK, { 0x0061, 0x0041, NONE,   0x00E5, 0x00C5 } }, // a with ring above
    { 'D',           CAPLOK, { 0x0064, 0x0044, NONE,   0x0111, 0x0110 } }, // d with stroke
    { 'I',           CAPLOK, { 0x0069, 0x0049, NONE,   0x00EF, 0x00CF } }, // i with diaeresis
    { 'U',           CAPLOK, { 0x0075, 0x0055, NONE,   0x016F, 0x016E } }, // u with ring above
    { 'C',           CAPLOK, { 0x0063, 0x0043, NONE,   0x00A9, 0x00A9 } }, // copyright sign
    { 'R',           CAPLOK, { 0x0072, 0x0052, NONE,   0x00AE, 0x00AE } }, // registered sign
    { VK_OEM_COMMA,  0,      { 0x002C, 0x003C, NONE,   0x201C, 0x201C } }, // left double quote
    { VK_OEM_PERIOD, 0,      { 0x002E, 0x003E, NONE,   0x201D, 0x201D } }, // right double quote
    { 0,             0,      { 0,      0,      0,      0,      0      } },
};

// Ordinary keys: Base, Shift.
const VK_TO_WCHARS2 PlainKeys[] = {
//    key            attr       Base    Shift
    { '1',           0,      { 0x0031, 0x0021 } },
    { '2',           0,      { 0x0032, 0x0040 } },
    { '3',           0,      { 0x0033, 0x0023 } },
    { '4',           0,      { 0x0034, 0x0024 } },
    { '5',           0,      { 0x0035, 0x0025 } },
    { '7',           0,      { 0x0037, 0x0026 } },
    { '8',           0,      { 0x0038, 0x002A } },
    { '0',           0,      { 0x0030, 0x0029 } },
    { 'E',           CAPLOK, { 0x0065, 0x0045 } },
    { 'T',           CAPLOK, { 0x0074, 0x0054 } },
    { 'Y',           CAPLOK, { 0x0079, 0x0059 } },
    { 'O',           CAPLOK, { 0x006F, 0x004F } },
    { 'P',           CAPLOK, { 0x0070, 0x0050 } },
    { 'S',           CAPLOK, { 0x0073, 0x0053 } },
    { 'F',           CAPLOK, { 0x0066, 0x0046 } },
    { 'G',           CAPLOK, { 0x0067, 0x0047 } },
    { 'H',           CAPLOK, { 0x0068, 0x0048 } },
    { 'J',           CAPLOK, { 0x006A, 0x004A } },
    { 'K',           CAPLOK, { 0x006B, 0x004B } },
    { 'L',           CAPLOK, { 0x006C, 0x004C } },
    { VK_OEM_1,      0,      { 0x003B, 0x003A } },
    { 'V',           CAPLOK, { 0x0076, 0x0056 } },
    { 'B',           CAPLOK, { 0x0062, 0x0042 } },
    { 'M',           CAPLOK, { 0x006D, 0x004D } },
    { VK_OEM_MINUS,  0,      { 0x002D, 0x005F } },
    { VK_OEM_2,      0,      { 0x002F, 0x003F } },
    { VK_DECIMAL,    0,      { 0x002E, 0x002E } },
    { VK_TAB,        0,      { 0x0009, 0x0009 } },
    { VK_ADD,        0,      { 0x002B, 0x002B } },
    { VK_DIVIDE,     0,      { 0x002F, 0x002F } },
    { VK_MULTIPLY,   0,      { 0x002A, 0x002A } },
    { VK_SUBTRACT,   0,      { 0x002D, 0x002D } },
    { 0,             0,      { 0,      0      } },
};

// Numeric keypad with Num Lock on: Base only.
const VK_TO_WCHARS1 KeypadKeys[] = {
//    key            attr       Base
    { VK_NUMPAD0,    0,      { 0x0030 } },
    { VK_NUMPAD1,    0,      { 0x0031 } },
    { VK_NUMPAD2,    0,      { 0x0032 } },
    { VK_NUMPAD3,    0,      { 0x0033 } },
    { VK_NUMPAD4,    0,      { 0x0034 } },
    { VK_NUMPAD5,    0,      { 0x0035 } },
    { VK_NUMPAD6,    0,      { 0x0036 } },
    { VK_NUMPAD7,    0,      { 0x0037 } },
    { VK_NUMPAD8,    0,      { 0x0038 } },
    { VK_NUMPAD9,    0,      { 0x0039 } },
    { 0,             0,      { 0      } },
};

static_assert(sizeof ControlKeys / sizeof ControlKeys[0] == 5 + 1);
static_assert(sizeof AltGrKeys / sizeof AltGrKeys[0] == 22 + 1);
static_assert(sizeof PlainKeys / sizeof PlainKeys[0] == 32 + 1);
static_assert(sizeof KeypadKeys / sizeof KeypadKeys[0] == 10 + 1);

// The list entry for a table of rows: its address, its column count and
// its row size. The list types every table as one-column rows.
#define CHARACTER_TABLE(rows)                                    \
    { reinterpret_cast<const VK_TO_WCHARS1 *>(rows),              \
      sizeof rows[0].wch / sizeof rows[0].wch[0], sizeof rows[0] }

// The subsystem tries the tables in this order; the keypad comes last.
const VK_TO_WCHAR_TABLE CharacterMap[] = {
    CHARACTER_TABLE(ControlKeys),
    CHARACTER_TABLE(AltGrKeys),
    CHARACTER_TABLE(PlainKeys),
    CHARACTER_TABLE(KeypadKeys),
    { nullptr, 0, 0 },
};

// ---------------------------------------------------------------------------

const KBDTABLES LayoutDescriptor = {
    &CharModifiers,
    CharacterMap,
    nullptr,                               // no dead keys
    KeyNames,
    KeyNamesExt,
    nullptr,                               // no dead-key names
    ScanCodeToVk,
    sizeof ScanCodeToVk / sizeof ScanCodeToVk[0],
    ScanCodeToVkE0,
    ScanCodeToVkE1,
    MAKELONG(KLLF_ALTGR, KBD_VERSION),     // right Alt is AltGr
    0,                                     // no ligatures
    0,
    nullptr,
    0,                                     // keyboard type and subtype:
    0,                                     // any
};

} // namespace

// The module's one export: the keyboard subsystem calls it once after
// mapping the module and keeps the address for as long as it stays mapped.
extern "C" const KBDTABLES *KbdLayerDescriptor()
{
    return &LayoutDescriptor;
}
