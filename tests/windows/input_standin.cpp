// Stands in for input.dll of Windows 8 and later, which Wine lacks, in the
// installer's cases: records each InstallLayoutOrTip call as a line
// "FLAGS STRING" in InstallLayoutOrTip.log beside this DLL, and succeeds.
// A test program; it never ships.
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

HMODULE Self;

void Record(const wchar_t* list, DWORD flags) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(Self, path, MAX_PATH);
  char* name = strrchr(path, '\\');
  if (length == 0 || length >= MAX_PATH || !name) return;
  strcpy(name + 1, "InstallLayoutOrTip.log");
  char line[256];
  int size = snprintf(line, sizeof line, "%lu %ls\r\n", static_cast<unsigned long>(flags),
                      list ? list : L"(null)");
  if (size <= 0 || size >= int(sizeof line)) return;
  HANDLE file =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, line, DWORD(size), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Self = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI InstallLayoutOrTip(const wchar_t* list, DWORD flags) {
  Record(list, flags);
  return TRUE;
}
