// Keeps files open the way a program that uses them does: others may read
// them, but not write, rename or delete them. While it runs, it also keeps
// the Wine session alive, so that what waits for a restart keeps waiting.
//
//   file_holder.exe FOLDER FILE...
//
// Opens every FILE for reading, sharing it for reading only, creates
// FOLDER\held and waits for FOLDER\release; then closes the files, creates
// FOLDER\released and waits for FOLDER\quit. Each wait ends after 10
// minutes.
//
// Exit code 0 when every file was held and both signals came; otherwise 1,
// with a line on standard output saying what did not hold; 2 for a usage
// error.
#include <windows.h>

#include <stdio.h>

#include "checks.h"

namespace {

const DWORD kWaitMs = 600000;
const int kMaxFiles = 16;

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// FOLDER\name, as a signal from the host or to it.
void SignalPath(char* path, const char* folder, const char* name) {
  snprintf(path, MAX_PATH, "%s\\%s", folder, name);
}

void Signal(const char* folder, const char* name) {
  char path[MAX_PATH];
  SignalPath(path, folder, name);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  Check(file != INVALID_HANDLE_VALUE, path);
  CloseHandle(file);
}

bool WaitForSignal(const char* folder, const char* name) {
  char path[MAX_PATH];
  SignalPath(path, folder, name);
  DWORD start = GetTickCount();
  while (!Exists(path)) {
    if (GetTickCount() - start > kWaitMs) return false;
    Sleep(100);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc - 2 > kMaxFiles) {
    printf("usage: file_holder FOLDER FILE...   (at most %d files)\n", kMaxFiles);
    return 2;
  }
  const char* folder = argv[1];
  HANDLE files[kMaxFiles];
  int count = argc - 2;
  for (int i = 0; i < count; ++i) {
    files[i] =
        CreateFileA(argv[i + 2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char what[MAX_PATH + 32];
    snprintf(what, sizeof what, "%s is held open", argv[i + 2]);
    Check(files[i] != INVALID_HANDLE_VALUE, what);
  }
  if (Failures) return 1;
  printf("holding %d file(s)\n", count);
  fflush(stdout);
  Signal(folder, "held");
  bool released = WaitForSignal(folder, "release");
  Check(released, "the host said release in time");

  for (int i = 0; i < count; ++i) CloseHandle(files[i]);
  Signal(folder, "released");
  if (released) Check(WaitForSignal(folder, "quit"), "the host said quit in time");
  return Failures ? 1 : 0;
}
