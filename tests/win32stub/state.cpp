// The stand-in's shared state, reset, call log and process calls.
#include "state.h"

#include <cstdlib>
#include <stdexcept>

namespace win32stub::detail {

namespace {
char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool NoCase::operator()(const std::string& a, const std::string& b) const {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(Fold(a[i]));
    unsigned char y = static_cast<unsigned char>(Fold(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = Fold(c);
  return result;
}

State::~State() {
  std::error_code ignored;
  if (!root.empty()) std::filesystem::remove_all(root, ignored);
}

State& S() {
  static State state;
  if (state.root.empty()) win32stub::Reset();
  return state;
}

std::size_t CharacterLength(std::string_view text) {
  if (text.empty() || text[0] == '\0') return 0;
  unsigned char lead = static_cast<unsigned char>(text[0]);
  bool doubleByte = S().ansiCodePage == 950 && lead >= 0x81 && lead <= 0xFE;
  return doubleByte && text.size() >= 2 && text[1] != '\0' ? 2 : 1;
}

std::uintptr_t NewHandle() { return S().nextHandle += 4; }

void Fail(DWORD error) { S().lastError = error; }

Arg Text(LPCSTR text) {
  if (IS_INTRESOURCE(text)) return static_cast<long long>(reinterpret_cast<std::uintptr_t>(text));
  return std::string(text);
}
Arg Num(long long value) { return value; }
Arg Handle(const void* handle) { return win32stub::Number(handle); }

void Log(std::string function, std::vector<Arg> args, long long result) {
  S().log.push_back(Call{std::move(function), std::move(args), result});
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

void Reset() {
  static bool resetting = false;  // S() calls back here on first use
  if (resetting) return;
  resetting = true;
  State& s = S();
  std::error_code ignored;
  if (!s.root.empty()) std::filesystem::remove_all(s.root, ignored);
  s.~State();
  new (&s) State();

  std::string pattern = (std::filesystem::temp_directory_path() / "win32stub.XXXXXX").string();
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("cannot create the stand-in's drive folder");
  s.root = pattern;
  std::filesystem::create_directory(s.root / "C");
  ResetRegistry();
  s.systemDirectory = "C:\\WINDOWS\\system32";
  s.appDataFolder = "C:\\Documents and Settings\\Tester\\Application Data";
  MakeFolder(s.systemDirectory);
  MakeFolder(s.appDataFolder);
  resetting = false;
}

long long Call::Number(std::size_t index) const {
  if (index >= args.size() || !std::holds_alternative<long long>(args[index]))
    throw std::logic_error(function + ": argument " + std::to_string(index) + " is not a number");
  return std::get<long long>(args[index]);
}

const std::string& Call::Text(std::size_t index) const {
  if (index >= args.size() || !std::holds_alternative<std::string>(args[index]))
    throw std::logic_error(function + ": argument " + std::to_string(index) + " is not text");
  return std::get<std::string>(args[index]);
}

const std::vector<Call>& CallLog() { return S().log; }

std::vector<Call> CallsTo(std::string_view function) {
  std::vector<Call> calls;
  for (const Call& call : S().log)
    if (call.function == function) calls.push_back(call);
  return calls;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& call : S().log) names.push_back(call.function);
  return names;
}

void ClearCallLog() { S().log.clear(); }

long long Number(const void* handle) {
  return static_cast<long long>(reinterpret_cast<std::intptr_t>(handle));
}

void SetStartupInfo(DWORD flags, WORD showWindow) {
  S().startupFlags = flags;
  S().startupShowWindow = showWindow;
}

void SetAnsiCodePage(UINT codePage) { S().ansiCodePage = codePage; }

HINSTANCE ModuleInstance() { return reinterpret_cast<HINSTANCE>(std::uintptr_t{0x400000}); }

}  // namespace win32stub

using namespace win32stub::detail;

extern "C" {

DWORD WINAPI GetLastError(void) { return S().lastError; }

void WINAPI SetLastError(DWORD error) { S().lastError = error; }

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName && EqualNoCase(moduleName, "kernel32.dll")) return Kernel32Module();
  if (moduleName) {
    Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return win32stub::ModuleInstance();
}

void WINAPI GetStartupInfoA(STARTUPINFOA* info) {
  *info = STARTUPINFOA{};
  info->cb = sizeof(STARTUPINFOA);
  info->dwFlags = S().startupFlags;
  info->wShowWindow = S().startupShowWindow;
}

// Logged, and returns at once: the tests do not wait.
void WINAPI Sleep(DWORD milliseconds) { Log("Sleep", {Num(milliseconds)}, 0); }

void WINAPI ExitProcess(UINT exitCode) {
  Log("ExitProcess", {Num(exitCode)}, 0);
  throw win32stub::ProcessExit{exitCode};
}

}  // extern "C"
