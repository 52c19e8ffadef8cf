// The user's input list on Windows 8 and later, through input.dll's
// InstallLayoutOrTip: what Setup's programs call to add the layout to the
// running user's list or take it out again (input_list.cpp).
#pragma once

#include <windows.h>

static const DWORD ILOT_INSTALL = 0x00000000;    // input.dll's flag to add
static const DWORD ILOT_UNINSTALL = 0x00000001;  // and to remove

// InstallLayoutOrTip(entry, flags), entry "LLLL:KLID". input.dll is loaded
// from the system folder by its full path (on 64-bit Windows a 32-bit
// program gets the one in SysWOW64, which has the export too). 0 where it
// or the export is missing (before Windows 8), or the call fails.
int CallInstallLayoutOrTip(const wchar_t* entry, DWORD flags);
