// Mounts a user's hive file under HKEY_USERS, as Windows does when that
// user signs in, so that the removal cases have a signed-in user besides
// the one running them. Wine keeps the hive mounted for the rest of its
// session (and keeps none of the changes made to it once it is unloaded).
//
//   hive_mount.exe NAME FILE
//
// Exit code 0 when HKEY_USERS\NAME holds FILE's keys; 1 when it cannot be
// mounted; 2 for a usage error.
#include <windows.h>

#include <stdio.h>

namespace {

// RegLoadKey needs both privileges enabled in the caller's token.
bool EnablePrivilege(const wchar_t* name) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  CloseHandle(token);
  return enabled;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: hive_mount NAME FILE\n");
    return 2;
  }
  if (!EnablePrivilege(SE_RESTORE_NAME) || !EnablePrivilege(SE_BACKUP_NAME)) {
    fprintf(stderr, "hive_mount: no restore and backup privileges\n");
    return 1;
  }
  LONG loaded = RegLoadKeyW(HKEY_USERS, argv[1], argv[2]);
  if (loaded != ERROR_SUCCESS) {
    fprintf(stderr, "hive_mount: RegLoadKey of %ls failed with %ld\n", argv[2], loaded);
    return 1;
  }
  return 0;
}
