// Checks that the Wine test bed runs a 32-bit console program end to end:
// command line in, a file written through the Win32 API, exit code out.
//
//   wine_smoke.exe OUTPUT_PATH TEXT
//
// Writes two lines, "TEXT" and "wow64=<SysWOW64 folder or none>", and
// returns 42. Other exit codes name the step that failed.
#include <windows.h>

#include <cstring>

namespace {

constexpr int kSuccess = 42;
constexpr int kUsage = 2;
constexpr int kCreateFailed = 3;
constexpr int kWriteFailed = 4;

bool write_all(HANDLE file, const char* text) {
  DWORD length = static_cast<DWORD>(std::strlen(text));
  DWORD written = 0;
  return WriteFile(file, text, length, &written, nullptr) && written == length;
}

// A 32-bit Windows has no SysWOW64 folder and fails the call; a 64-bit one
// (or a 64-bit Wine prefix) names it.
bool write_wow64_line(HANDLE file) {
  char folder[MAX_PATH];
  UINT length = GetSystemWow64DirectoryA(folder, MAX_PATH);
  const char* value = (length > 0 && length < MAX_PATH) ? folder : "none";
  return write_all(file, "wow64=") && write_all(file, value) && write_all(file, "\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return kUsage;

  HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kCreateFailed;

  bool ok = write_all(file, argv[2]) && write_all(file, "\r\n") && write_wow64_line(file);
  ok = CloseHandle(file) && ok;
  return ok ? kSuccess : kWriteFailed;
}
