// In-memory registry: the HKLM and HKCU trees, open-key handles with their
// access rights, and the advapi32 calls.
#include "state.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace win32stub::detail {

namespace {

std::vector<std::string> SplitKeyPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::shared_ptr<RegKey> Walk(std::shared_ptr<RegKey> key, std::string_view path, bool create,
                             std::string* shownPath = nullptr) {
  for (const std::string& part : SplitKeyPath(path)) {
    auto found = key->subkeys.find(part);
    if (found == key->subkeys.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<RegKey>();
      child->name = part;
      found = key->subkeys.emplace(part, child).first;
    }
    key = found->second;
    if (shownPath) *shownPath += "\\" + key->name;
  }
  return key;
}

// The key a handle stands for: a predefined root or an open key.
const OpenKey* Lookup(HKEY handle) {
  static OpenKey root;
  State& s = S();
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER) {
    bool machine = handle == HKEY_LOCAL_MACHINE;
    root = OpenKey{machine ? s.localMachine : s.currentUser, machine ? "HKLM" : "HKCU",
                   KEY_ALL_ACCESS};
    return &root;
  }
  auto found = s.openKeys.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == s.openKeys.end() ? nullptr : &found->second;
}

std::shared_ptr<RegKey> TestKey(HKEY root, std::string_view path, bool create) {
  const OpenKey* open = Lookup(root);
  if (!open) throw std::logic_error("win32stub: registry root must be HKLM or HKCU");
  return Walk(open->key, path, create);
}

std::string ValueName(LPCSTR name) { return name ? name : ""; }

}  // namespace

void ResetRegistry() {
  S().localMachine = std::make_shared<RegKey>();
  S().currentUser = std::make_shared<RegKey>();
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

void CreateKey(HKEY root, std::string_view path) { TestKey(root, path, true); }

void SetValue(HKEY root, std::string_view path, std::string_view name, DWORD type,
              std::string_view bytes) {
  TestKey(root, path, true)->values[std::string(name)] = RegValue{type, std::string(bytes)};
}

void SetString(HKEY root, std::string_view path, std::string_view name, std::string_view text) {
  SetValue(root, path, name, REG_SZ, std::string(text) + '\0');
}

bool KeyExists(HKEY root, std::string_view path) { return TestKey(root, path, false) != nullptr; }

std::vector<std::string> ValueNames(HKEY root, std::string_view path) {
  std::vector<std::string> names;
  if (auto key = TestKey(root, path, false))
    for (const auto& [name, value] : key->values) names.push_back(name);
  return names;
}

std::optional<std::string> ValueBytes(HKEY root, std::string_view path, std::string_view name) {
  auto key = TestKey(root, path, false);
  if (!key) return std::nullopt;
  auto found = key->values.find(std::string(name));
  if (found == key->values.end()) return std::nullopt;
  return found->second.data;
}

std::optional<std::string> StringValue(HKEY root, std::string_view path, std::string_view name) {
  auto bytes = ValueBytes(root, path, name);
  if (bytes) bytes->erase(std::min(bytes->find('\0'), bytes->size()));
  return bytes;
}

void DenyAccess(HKEY root, std::string_view path, REGSAM denied) {
  TestKey(root, path, true)->denied |= denied;
}

void FailValueWrite(HKEY root, std::string_view path, std::string_view name) {
  TestKey(root, path, true)->failingWrites.insert(std::string(name));
}

void FailValueDelete(HKEY root, std::string_view path, std::string_view name) {
  TestKey(root, path, true)->failingDeletes.insert(std::string(name));
}

int OpenKeyCount() { return static_cast<int>(S().openKeys.size()); }

}  // namespace win32stub

using namespace win32stub::detail;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const OpenKey* parent = Lookup(key);
  if (!parent) return ERROR_INVALID_HANDLE;
  std::string path = parent->path;
  std::string_view sub = subKey ? subKey : "";
  if (!sub.empty() && sub.front() == '\\') return ERROR_BAD_PATHNAME;
  auto target = Walk(parent->key, sub, false, &path);
  if (!target) return ERROR_FILE_NOT_FOUND;
  // KEY_WOW64_* and other flags outside the standard rights carry no meaning here.
  if (access & target->denied) return ERROR_ACCESS_DENIED;
  std::uintptr_t handle = NewHandle();
  S().openKeys[handle] = OpenKey{target, path, access};
  *result = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                             LPDWORD size) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  auto found = open->key->values.find(ValueName(name));
  if (found == open->key->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegValue& value = found->second;
  if (type) *type = value.type;
  DWORD needed = static_cast<DWORD>(value.data.size());
  if (!size) return ERROR_SUCCESS;
  if (data && needed > *size) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data && needed) std::memcpy(data, value.data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  std::string bytes = data ? std::string(reinterpret_cast<const char*>(data), size) : "";
  LONG result = ERROR_SUCCESS;
  if (!data && size)
    result = ERROR_INVALID_PARAMETER;
  else if (!(open->access & KEY_SET_VALUE) || open->key->failingWrites.count(ValueName(name)))
    result = ERROR_ACCESS_DENIED;
  else
    open->key->values[ValueName(name)] = RegValue{type, bytes};
  Log("RegSetValueExA", {open->path, ValueName(name), Num(type), bytes, Num(size)}, result);
  return result;
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR name) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  auto& values = open->key->values;
  LONG result = ERROR_SUCCESS;
  if (!(open->access & KEY_SET_VALUE) || open->key->failingDeletes.count(ValueName(name)))
    result = ERROR_ACCESS_DENIED;
  else if (!values.erase(ValueName(name)))
    result = ERROR_FILE_NOT_FOUND;
  Log("RegDeleteValueA", {open->path, ValueName(name)}, result);
  return result;
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!subKey || !*subKey) return ERROR_INVALID_PARAMETER;
  std::string_view sub = subKey;
  std::size_t split = sub.rfind('\\');
  std::string_view parentPath = split == std::string_view::npos ? "" : sub.substr(0, split);
  std::string leaf(split == std::string_view::npos ? sub : sub.substr(split + 1));
  auto parent = Walk(open->key, parentPath, false);
  auto target = parent ? Walk(parent, leaf, false) : nullptr;
  LONG result = ERROR_SUCCESS;
  if (!target)
    result = ERROR_FILE_NOT_FOUND;
  else if (!target->subkeys.empty() || (target->denied & DELETE))
    result = ERROR_ACCESS_DENIED;  // as Windows answers for a key that still has subkeys
  else
    parent->subkeys.erase(leaf);
  Log("RegDeleteKeyA", {open->path, std::string(sub)}, result);
  return result;
}

LONG WINAPI RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return S().openKeys.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_HANDLE;
}

}  // extern "C"
