// The process token and its privileges: OpenProcessToken,
// LookupPrivilegeValueA, AdjustTokenPrivileges and CloseHandle.
#include "state.h"

#include <stdexcept>
#include <string_view>

namespace win32stub::detail {

namespace {

// The privileges' LUIDs as Windows numbers them.
constexpr std::pair<std::string_view, DWORD> kPrivileges[] = {
    {"SeBackupPrivilege", 17}, {"SeRestorePrivilege", 18}, {"SeShutdownPrivilege", 19}};

const std::string_view* PrivilegeName(const LUID& luid) {
  for (const auto& [name, number] : kPrivileges)
    if (luid.HighPart == 0 && luid.LowPart == number) return &name;
  return nullptr;
}

// Privileges past the first of a TOKEN_PRIVILEGES follow its one-entry array.
LUID_AND_ATTRIBUTES* Entry(PTOKEN_PRIVILEGES list, DWORD index) { return list->Privileges + index; }

}  // namespace

bool HoldsHivePrivileges() {
  return S().enabledPrivileges.count("SeBackupPrivilege") &&
         S().enabledPrivileges.count("SeRestorePrivilege");
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

void LackPrivilege(std::string_view name) { S().missingPrivileges.insert(std::string(name)); }

bool PrivilegeEnabled(std::string_view name) {
  return S().enabledPrivileges.count(std::string(name)) != 0;
}

int OpenTokenCount() { return static_cast<int>(S().tokens.size()); }

}  // namespace win32stub

using namespace win32stub::detail;

extern "C" {

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  BOOL opened = process == GetCurrentProcess() && token;
  if (opened) {
    std::uintptr_t handle = NewHandle();
    S().tokens[handle] = access;
    *token = reinterpret_cast<HANDLE>(handle);
  } else {
    Fail(ERROR_INVALID_HANDLE);
  }
  Log("OpenProcessToken", {Handle(process), Num(access)}, opened);
  return opened;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
  BOOL found = FALSE;
  for (const auto& [known, number] : kPrivileges)
    if (name && !systemName && EqualNoCase(known, name)) {
      *luid = LUID{number, 0};
      found = TRUE;
    }
  if (!found) Fail(ERROR_NO_SUCH_PRIVILEGE);
  Log("LookupPrivilegeValueA", {Text(systemName), Text(name)}, found);
  return found;
}

// Logged as the token, then each privilege's name and attributes asked for.
// PreviousState receives the privileges whose state changed, as they were.
BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  LPDWORD returnLength) {
  if (disableAll) throw std::logic_error("win32stub: DisableAllPrivileges is not modelled");
  State& s = S();
  std::vector<win32stub::Arg> args{Handle(token)};
  std::vector<LUID_AND_ATTRIBUTES> changed;
  DWORD error = ERROR_SUCCESS;
  auto open = s.tokens.find(reinterpret_cast<std::uintptr_t>(token));
  if (open == s.tokens.end() || !newState) {
    error = ERROR_INVALID_HANDLE;
  } else if (!(open->second & TOKEN_ADJUST_PRIVILEGES) ||
             (previousState && !(open->second & TOKEN_QUERY))) {
    error = ERROR_ACCESS_DENIED;
  } else {
    for (DWORD index = 0; index < newState->PrivilegeCount; ++index) {
      const LUID_AND_ATTRIBUTES& asked = *Entry(newState, index);
      const std::string_view* name = PrivilegeName(asked.Luid);
      args.push_back(name ? win32stub::Arg(std::string(*name)) : Num(asked.Luid.LowPart));
      args.push_back(Num(asked.Attributes));
      bool enable = (asked.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (!name || s.missingPrivileges.count(std::string(*name))) {
        error = ERROR_NOT_ALL_ASSIGNED;
      } else if (s.enabledPrivileges.count(std::string(*name)) != enable) {
        changed.push_back({asked.Luid, enable ? 0u : static_cast<DWORD>(SE_PRIVILEGE_ENABLED)});
        if (enable)
          s.enabledPrivileges.insert(std::string(*name));
        else
          s.enabledPrivileges.erase(std::string(*name));
      }
    }
  }
  const DWORD needed =
      static_cast<DWORD>(sizeof(DWORD) + changed.size() * sizeof(LUID_AND_ATTRIBUTES));
  if (error != ERROR_INVALID_HANDLE && error != ERROR_ACCESS_DENIED && previousState) {
    if (!returnLength || bufferLength < needed)
      throw std::logic_error("win32stub: PreviousState too small or ReturnLength missing");
    previousState->PrivilegeCount = static_cast<DWORD>(changed.size());
    for (std::size_t index = 0; index < changed.size(); ++index)
      *Entry(previousState, static_cast<DWORD>(index)) = changed[index];
    *returnLength = needed;
  }
  BOOL done = error != ERROR_INVALID_HANDLE && error != ERROR_ACCESS_DENIED;
  Fail(error);  // ERROR_SUCCESS too, as Windows sets it
  Log("AdjustTokenPrivileges", std::move(args), done);
  return done;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  if (S().tokens.erase(reinterpret_cast<std::uintptr_t>(handle))) return TRUE;
  Fail(ERROR_INVALID_HANDLE);
  return FALSE;
}

}  // extern "C"
