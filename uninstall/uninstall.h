// Routines and process-wide state shared by the uninstaller's source units.
#pragma once

#include <windows.h>

// The folders the package lives in, found once before the user is asked
// anything. Empty strings until ResolvePackagePaths fills them.
struct PackagePathsRecord {
  char ProgramFilesRoot[MAX_PATH];
  char InstallFolder[MAX_PATH];
  char ProgramGroupFolder[MAX_PATH];
  char FontsFolder[MAX_PATH];
};
extern PackagePathsRecord PackagePaths;

extern HWND MainWindow;
extern HBITMAP BackgroundBitmap;

// Main flow and window (main.cpp). UninstallStart is the process entry.
extern "C" void UninstallStart();
int UninstallMain(HINSTANCE instance, int showCommand);
LRESULT CALLBACK UninstallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Bounded paths and registry strings, shared by every step (paths.cpp).
// out := first + "\" + second; 0 with out empty when that would exceed
// MAX_PATH - 1 characters. out may be first.
int JoinPath(char* out, const char* first, const char* second);
// The same, with second following first directly.
int ConcatPath(char* out, const char* first, const char* second);
// 1 when the value exists and fits capacity together with its terminator;
// buffer always holds a terminated string (empty on 0).
int ReadStringValue(HKEY key, const char* name, char* buffer, DWORD capacity);
// 1 when a PackagePaths member (or any path buffer) is not empty.
int IsResolved(const char* path);
// Deletes the file, or, when it is in use, has Windows delete it at the
// next restart. 1 when it is gone or goes then; 0 when it stays (missing,
// read-only, a link, or the scheduling failed).
int DeleteFileNowOrAtRestart(const char* path);

// Package folders (paths.cpp).
int ResolvePackagePaths();
int RemoveTree(const char* folder);
int RemoveProgramGroup();
int RemoveInstallFolders();

// Keyboard layout registration (keyboard.cpp).
int RemoveKeyboardLayout();
int FindLayoutKey(HKEY layoutsKey, char* klidOut, const char* moduleFileName);
int RemovePreloadEntry(HKEY preloadKey, const char* klid);
int ActivateReplacementLayout(HKEY preloadKey, const char* klid);

// Fonts and EUDC links (fonts.cpp).
int RemoveFonts();
int RemoveEudcLinks();
// The same rule for the links in another user's hive, opened at userRoot.
int RemoveEudcLinksFor(HKEY userRoot);

// Office add-ins (office.cpp).
int RemoveWordTemplate();
int RemoveExcelAddin();

// The seven removal steps in their fixed order, for uninstall.exe's main
// flow and Setup's silent removal. Each step does its own work or quietly
// skips what it cannot reach, so every one runs whatever the one before it
// did. The EUDC links are compared with paths inside the install folder, so
// they go before that folder.
static inline void RunRemovalSteps() {
  RemoveKeyboardLayout();
  RemoveFonts();
  RemoveWordTemplate();
  RemoveExcelAddin();
  RemoveProgramGroup();
  RemoveEudcLinks();
  RemoveInstallFolders();
}
