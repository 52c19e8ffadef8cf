// Keeps a Wine session and its desktop alive for a whole test case, writes
// out the registry while it runs, and runs programs in it for the host.
// wineserver keeps the registry in memory and writes its hives only when
// the session ends; this program lets the host read them without ending
// it. Wine hands a Unix parent only the low 8 bits of an exit code; this
// program reads the whole code.
//
//   session_keeper.exe FOLDER
//
// Creates FOLDER\ready once it runs, then serves requests, files the host
// puts in FOLDER:
//   NAME.save  saves HKEY_LOCAL_MACHINE to FOLDER\NAME.system.reg and
//              HKEY_CURRENT_USER to FOLDER\NAME.user.reg, in the format of
//              the prefix's own system.reg and user.reg, and answers with
//              FOLDER\NAME.saved.
//   NAME.run   holds lines VARIABLE=VALUE, for the program's environment,
//              and last its command line; starts the program and, once it
//              has ended, answers with FOLDER\NAME.exited holding
//              "exit code N". The program's Wine debug output goes where
//              this program's goes.
// A request that fails is answered with FOLDER\NAME.failed, saying why.
// Ends when FOLDER\quit appears, or after an hour without one. Requests
// and quit are seen within milliseconds (Wine reports the change of the
// folder).
//
// Exit code 0 when it was told to quit, 1 otherwise; 2 for a usage error.
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const DWORD kLifetimeMs = 3600000;
// It looks for requests whenever a name in the folder changes, and at least
// this often: waiting for a change costs nothing, while polling the folder
// under emulation all the time costs as much as the test's own programs.
const DWORD kLookMs = 1000;
const int kMaxRuns = 8;
const DWORD kMaxRequest = 8192;

struct Run {
  HANDLE process;
  char name[MAX_PATH];
};

Run Runs[kMaxRuns];
int RunCount = 0;

bool Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Creates FOLDER\NAME holding TEXT; the host reads it once it exists.
bool Answer(const char* folder, const char* name, const char* text) {
  char path[MAX_PATH], temporary[MAX_PATH];
  snprintf(path, sizeof path, "%s\\%s", folder, name);
  snprintf(temporary, sizeof temporary, "%s\\%s.tmp", folder, name);
  HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok =
      WriteFile(file, text, DWORD(strlen(text)), &written, nullptr) && written == strlen(text);
  CloseHandle(file);
  return ok && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING);
}

// Answers the request NAME with FOLDER\NAME.SUFFIX holding TEXT.
void AnswerRequest(const char* folder, const char* name, const char* suffix, const char* text) {
  char answer[MAX_PATH];
  snprintf(answer, sizeof answer, "%s.%s", name, suffix);
  Answer(folder, answer, text);
}

// Wine closes a desktop, and the explorer.exe that draws it, a second after
// the last program on it has ended; the next program with a window starts
// explorer again, at about a second of CPU under emulation. A program on
// the desktop itself, the keeper keeps it open until the session ends.
// Asking for the thread's desktop connects to it without making its
// window: a session in which no program opens a window starts no explorer.
bool JoinDesktop() { return GetThreadDesktop(GetCurrentThreadId()) != nullptr; }

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

void Save(const char* folder, const char* name) {
  LONG machine = SaveHive(HKEY_LOCAL_MACHINE, folder, name, "system");
  LONG user = machine == ERROR_SUCCESS ? SaveHive(HKEY_CURRENT_USER, folder, name, "user") : 0;
  if (machine == ERROR_SUCCESS && user == ERROR_SUCCESS) {
    AnswerRequest(folder, name, "saved", "");
  } else {
    char text[128];
    snprintf(text, sizeof text, "RegSaveKeyA failed: HKLM %ld, HKCU %ld\r\n", machine, user);
    AnswerRequest(folder, name, "failed", text);
  }
}

// Reads the whole request into TEXT (at most SIZE - 1 bytes), ends it with
// a zero and returns its length; -1 when it cannot.
int ReadRequest(const char* path, char* text, DWORD size) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  DWORD length = 0;
  bool ok = ReadFile(file, text, size - 1, &length, nullptr) && length < size - 1;
  CloseHandle(file);
  if (!ok) return -1;
  text[length] = 0;
  return int(length);
}

// The environment settings of a run request, and what they replaced.
struct Setting {
  const char* name;
  char old[1024];
  bool had;
};

const int kMaxSettings = 16;

// Splits a run request into its lines: sets the environment variables of
// all but the last, remembering their old values in SETTINGS, and returns
// the last line, the command line (nullptr when there is none).
char* ApplySettings(char* text, Setting* settings, int* count) {
  char* command = nullptr;
  *count = 0;
  for (char* line = text; line && *line;) {
    char* end = strchr(line, '\n');
    if (end) *end = 0;
    size_t length = strlen(line);
    if (length && line[length - 1] == '\r') line[length - 1] = 0;
    char* next = end && end[1] ? end + 1 : nullptr;
    char* equals = strchr(line, '=');
    if (!next) {
      command = line;
    } else if (equals && equals != line && *count < kMaxSettings) {
      *equals = 0;
      Setting& setting = settings[(*count)++];
      setting.name = line;
      DWORD got = GetEnvironmentVariableA(line, setting.old, sizeof setting.old);
      setting.had = got > 0 && got < sizeof setting.old;
      SetEnvironmentVariableA(line, equals + 1);
    }
    line = next;
  }
  return command && *command ? command : nullptr;
}

void RestoreSettings(const Setting* settings, int count) {
  for (int i = 0; i < count; ++i)
    SetEnvironmentVariableA(settings[i].name, settings[i].had ? settings[i].old : nullptr);
}

void Start(const char* folder, const char* name, const char* path) {
  static char text[kMaxRequest];
  char why[128];
  if (RunCount == kMaxRuns) {
    snprintf(why, sizeof why, "more than %d programs at once\r\n", kMaxRuns);
    AnswerRequest(folder, name, "failed", why);
    return;
  }
  if (ReadRequest(path, text, sizeof text) < 0) {
    AnswerRequest(folder, name, "failed", "cannot read the request\r\n");
    return;
  }
  // The program inherits this program's environment with the request's
  // settings.
  Setting settings[kMaxSettings];
  int count = 0;
  char* command = ApplySettings(text, settings, &count);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  bool started = command && CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                                           nullptr, &startup, &process);
  DWORD error = GetLastError();
  RestoreSettings(settings, count);
  if (!started) {
    snprintf(why, sizeof why,
             command ? "CreateProcessA failed (error %lu)\r\n" : "no command line\r\n", error);
    AnswerRequest(folder, name, "failed", why);
    return;
  }
  CloseHandle(process.hThread);
  Runs[RunCount].process = process.hProcess;
  lstrcpynA(Runs[RunCount].name, name, MAX_PATH);
  ++RunCount;
}

// Answers for every program that has ended.
void ReportEndedRuns(const char* folder) {
  for (int i = 0; i < RunCount;) {
    if (WaitForSingleObject(Runs[i].process, 0) != WAIT_OBJECT_0) {
      ++i;
      continue;
    }
    DWORD code = 0;
    GetExitCodeProcess(Runs[i].process, &code);
    CloseHandle(Runs[i].process);
    char text[64];
    snprintf(text, sizeof text, "exit code %ld\r\n", LONG(code));
    AnswerRequest(folder, Runs[i].name, "exited", text);
    Runs[i] = Runs[--RunCount];
  }
}

// Serves the request FOLDER\FILE, named NAME.KIND.
void Serve(const char* folder, const char* file) {
  const char* dot = strrchr(file, '.');
  if (!dot) return;
  char name[MAX_PATH], path[MAX_PATH];
  snprintf(name, sizeof name, "%.*s", int(dot - file), file);
  snprintf(path, sizeof path, "%s\\%s", folder, file);
  if (strcmp(dot, ".save") == 0) {
    Save(folder, name);
  } else if (strcmp(dot, ".run") == 0) {
    Start(folder, name, path);
  } else {
    return;
  }
  DeleteFileA(path);
}

// Serves every request waiting in FOLDER.
void ServeRequests(const char* folder) {
  char pattern[MAX_PATH];
  snprintf(pattern, sizeof pattern, "%s\\*", folder);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) Serve(folder, found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Waits until a name in the folder changes or a program ends, at most
// kLookMs.
void AwaitEvent(HANDLE change) {
  HANDLE handles[1 + kMaxRuns];
  DWORD count = 0;
  if (change != INVALID_HANDLE_VALUE) handles[count++] = change;
  for (int i = 0; i < RunCount; ++i) handles[count++] = Runs[i].process;
  if (count == 0) {
    Sleep(kLookMs / 20);
    return;
  }
  DWORD woken = WaitForMultipleObjects(count, handles, FALSE, kLookMs);
  if (change != INVALID_HANDLE_VALUE && woken == WAIT_OBJECT_0) FindNextChangeNotification(change);
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
  if (!JoinDesktop()) {
    printf("session_keeper: cannot join the desktop (error %lu)\n", GetLastError());
    return 1;
  }
  char quit[MAX_PATH];
  snprintf(quit, sizeof quit, "%s\\quit", folder);
  // Armed before the first look: a request made after it wakes the wait.
  HANDLE change = FindFirstChangeNotificationA(folder, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  if (!Answer(folder, "ready", "")) {
    printf("session_keeper: cannot write to %s\n", folder);
    return 1;
  }
  for (DWORD start = GetTickCount(); GetTickCount() - start < kLifetimeMs; AwaitEvent(change)) {
    ServeRequests(folder);
    ReportEndedRuns(folder);
    if (Exists(quit)) return 0;
  }
  printf("session_keeper: not told to quit within %lu s\n", kLifetimeMs / 1000);
  return 1;
}
