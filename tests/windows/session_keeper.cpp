// Keeps a Wine session alive for a whole test case and writes out the
// registry while it runs. wineserver keeps the registry in memory and
// writes its hives only when the session ends; this program lets the host
// read them without ending it.
//
//   session_keeper.exe FOLDER
//
// Creates FOLDER\ready once it runs. For each request FOLDER\NAME.save it
// saves HKEY_LOCAL_MACHINE to FOLDER\NAME.system.reg and HKEY_CURRENT_USER
// to FOLDER\NAME.user.reg, in the format of the prefix's own system.reg and
// user.reg, and then replaces the request with FOLDER\NAME.saved (or
// FOLDER\NAME.failed, holding the error). Ends when FOLDER\quit appears, or
// after an hour without one.
//
// Exit code 0 when it was told to quit, 1 otherwise; 2 for a usage error.
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const DWORD kLifetimeMs = 3600000;
// How often it looks for requests: the host waits for the answer.
const DWORD kPollMs = 20;

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Creates FOLDER\NAME holding TEXT; the host reads it once it exists.
bool Answer(const char* folder, const char* name, const char* text) {
  char path[MAX_PATH], temporary[MAX_PATH];
  snprintf(path, sizeof path, "%s\\%s", folder, name);
  snprintf(temporary, sizeof temporary, "%s\\%s.tmp", folder, name);
  HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text, DWORD(strlen(text)), &written, nullptr) &&
            written == strlen(text);
  CloseHandle(file);
  return ok && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

// Saving a hive takes the backup privilege, which an administrator has but
// must switch on.
bool EnableBackupPrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &privileges.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

// RegSaveKey does not overwrite a file.
LONG SaveHive(HKEY root, const char* folder, const char* name, const char* hive) {
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%s\\%s.%s.reg", folder, name, hive);
  DeleteFileA(path);
  return RegSaveKeyA(root, path, nullptr);
}

// Serves the request FOLDER\NAME.save (file is its name).
void Serve(const char* folder, const char* file) {
  char name[MAX_PATH], request[MAX_PATH], text[128];
  size_t length = strlen(file) - strlen(".save");
  snprintf(name, sizeof name, "%.*s", int(length), file);
  snprintf(request, sizeof request, "%s\\%s", folder, file);
  LONG machine = SaveHive(HKEY_LOCAL_MACHINE, folder, name, "system");
  LONG user = machine == ERROR_SUCCESS ? SaveHive(HKEY_CURRENT_USER, folder, name, "user") : 0;
  DeleteFileA(request);
  char answer[MAX_PATH];
  if (machine == ERROR_SUCCESS && user == ERROR_SUCCESS) {
    snprintf(answer, sizeof answer, "%s.saved", name);
    Answer(folder, answer, "");
  } else {
    snprintf(answer, sizeof answer, "%s.failed", name);
    snprintf(text, sizeof text, "RegSaveKeyA failed: HKLM %ld, HKCU %ld\r\n", machine, user);
    Answer(folder, answer, text);
  }
}

// Serves every request waiting in FOLDER.
void ServeRequests(const char* folder) {
  char pattern[MAX_PATH];
  snprintf(pattern, sizeof pattern, "%s\\*.save", folder);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) Serve(folder, found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    printf("usage: session_keeper FOLDER\n");
    return 2;
  }
  const char* folder = argv[1];
  if (!EnableBackupPrivilege()) {
    printf("session_keeper: cannot enable the backup privilege (error %lu)\n", GetLastError());
    return 1;
  }
  char quit[MAX_PATH];
  snprintf(quit, sizeof quit, "%s\\quit", folder);
  if (!Answer(folder, "ready", "")) {
    printf("session_keeper: cannot write to %s\n", folder);
    return 1;
  }
  for (DWORD start = GetTickCount(); GetTickCount() - start < kLifetimeMs; Sleep(kPollMs)) {
    ServeRequests(folder);
    if (Exists(quit)) return 0;
  }
  printf("session_keeper: not told to quit within %lu s\n", kLifetimeMs / 1000);
  return 1;
}
