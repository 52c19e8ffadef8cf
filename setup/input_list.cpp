// input.dll's InstallLayoutOrTip, looked up at run time: Windows before 8
// has neither the DLL nor the export.
#include "input_list.h"

typedef BOOL(WINAPI* InstallLayoutOrTipCall)(const wchar_t*, DWORD);

int CallInstallLayoutOrTip(const wchar_t* entry, DWORD flags) {
  const wchar_t name[] = L"\\input.dll";
  const UINT nameLength = sizeof name / sizeof name[0];  // with its terminator
  wchar_t library[MAX_PATH];
  UINT length = GetSystemDirectoryW(library, MAX_PATH);
  if (length == 0 || length + nameLength > MAX_PATH) return 0;
  for (UINT at = 0; at < nameLength; ++at) library[length + at] = name[at];
  HMODULE input = LoadLibraryW(library);
  if (!input) return 0;
  InstallLayoutOrTipCall installLayoutOrTip = reinterpret_cast<InstallLayoutOrTipCall>(
      reinterpret_cast<void*>(GetProcAddress(input, "InstallLayoutOrTip")));
  int done = installLayoutOrTip && installLayoutOrTip(entry, flags);
  FreeLibrary(input);
  return done;
}
