// 64-bit Windows as a 32-bit program sees it: IsWow64Process, file-system
// redirection of the system folder to SysWOW64, and the SysWOW64 folder
// query, all reached through GetProcAddress as on Windows.
#include "state.h"

#include <cstring>

namespace win32stub::detail {

namespace {

const char kSysWow64[] = "C:\\WINDOWS\\SysWOW64";

BOOL WINAPI IsWow64Process(HANDLE, PBOOL wow64) {
  *wow64 = S().platform == Platform::kWow64;
  return TRUE;
}

BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* previous) {
  const bool fails = S().failRedirectionControl;
  if (fails)
    Fail(ERROR_ACCESS_DENIED);
  else {
    *previous = reinterpret_cast<PVOID>(std::uintptr_t{S().redirectionOff ? 1u : 0u});
    S().redirectionOff = true;
  }
  Log("Wow64DisableWow64FsRedirection", {}, fails ? FALSE : TRUE);
  return fails ? FALSE : TRUE;
}

BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID previous) {
  S().redirectionOff = previous != nullptr;
  Log("Wow64RevertWow64FsRedirection", {}, TRUE);
  return TRUE;
}

UINT WINAPI GetSystemWow64DirectoryA(LPSTR buffer, UINT size) {
  const std::size_t length = std::strlen(kSysWow64);
  if (size <= length) return static_cast<UINT>(length + 1);
  std::memcpy(buffer, kSysWow64, length + 1);
  return static_cast<UINT>(length);
}

template <typename Routine>
FARPROC Address(Routine routine) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(routine));
}

}  // namespace

HMODULE Kernel32Module() { return reinterpret_cast<HMODULE>(std::uintptr_t{0x7C800000}); }

std::string Redirected(std::string_view path) {
  const std::string& system = S().systemDirectory;
  const bool inSystemFolder = path.size() > system.size() &&
                              EqualNoCase(path.substr(0, system.size()), system) &&
                              (path[system.size()] == '\\' || path[system.size()] == '/');
  if (S().platform != Platform::kWow64 || S().redirectionOff || !inSystemFolder)
    return std::string(path);
  return kSysWow64 + std::string(path.substr(system.size()));
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

void SetPlatform(Platform platform) {
  S().platform = platform;
  if (platform == Platform::kWow64) MakeFolder(kSysWow64);
}

std::string SystemWow64Directory() { return kSysWow64; }

void FailRedirectionControl() { S().failRedirectionControl = true; }

}  // namespace win32stub

using namespace win32stub::detail;

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(~std::uintptr_t{0}); }

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  const win32stub::Platform platform = S().platform;
  if (module == Kernel32Module() && name) {
    const std::string_view wanted = name;
    if (wanted == "IsWow64Process" && platform != win32stub::Platform::kNoIsWow64Process)
      return Address(IsWow64Process);
    if (platform == win32stub::Platform::kWow64) {
      if (wanted == "Wow64DisableWow64FsRedirection")
        return Address(Wow64DisableWow64FsRedirection);
      if (wanted == "Wow64RevertWow64FsRedirection") return Address(Wow64RevertWow64FsRedirection);
      if (wanted == "GetSystemWow64DirectoryA") return Address(GetSystemWow64DirectoryA);
    }
  }
  Fail(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

}  // extern "C"
