// Host stand-in for the shell folder query (shfolder.dll on Windows).
#pragma once

#include <windows.h>

#define CSIDL_APPDATA 0x001a
#define CSIDL_FLAG_CREATE 0x8000
#define SHGFP_TYPE_CURRENT 0

extern "C" HRESULT WINAPI SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags,
                                           LPSTR path);
