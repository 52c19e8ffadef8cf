// In-memory registry: the HKLM, HKCU and HKEY_USERS trees, hive files and
// the hives loaded from them, open-key handles with their access rights, and
// the advapi32 calls.
#include "state.h"

#include <algorithm>
#include <cstring>
#include <iterator>
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
  if (handle == HKEY_LOCAL_MACHINE) root = OpenKey{s.localMachine, "HKLM", KEY_ALL_ACCESS};
  if (handle == HKEY_CURRENT_USER) root = OpenKey{s.currentUser, "HKCU", KEY_ALL_ACCESS};
  if (handle == HKEY_USERS) root = OpenKey{s.users, "HKU", KEY_ALL_ACCESS};
  if (handle == HKEY_LOCAL_MACHINE || handle == HKEY_CURRENT_USER || handle == HKEY_USERS)
    return &root;
  auto found = s.openKeys.find(reinterpret_cast<std::uintptr_t>(handle));
  return found == s.openKeys.end() ? nullptr : &found->second;
}

std::shared_ptr<RegKey> TestKey(HKEY root, std::string_view path, bool create) {
  auto hiveFile = S().hiveFileRoots.find(reinterpret_cast<std::uintptr_t>(root));
  if (hiveFile != S().hiveFileRoots.end())
    return Walk(S().hiveFiles[hiveFile->second], path, create);
  const OpenKey* open = Lookup(root);
  if (!open) throw std::logic_error("win32stub: registry root must be HKLM, HKCU, HKU or a hive");
  return Walk(open->key, path, create);
}

std::string ValueName(LPCSTR name) { return name ? name : ""; }

std::shared_ptr<RegKey> Copy(const RegKey& key) {
  auto copy = std::make_shared<RegKey>(key);
  for (auto& [name, subkey] : copy->subkeys) subkey = Copy(*subkey);
  return copy;
}

// Names go out as the enumeration calls hand them: the capacity counts the
// terminator, the length returned does not.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD length) {
  if (!buffer || !length) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

bool KeyOpenInHive(const std::string& mountName) {
  const std::string root = "HKU\\" + mountName;
  for (const auto& [handle, open] : S().openKeys)
    if (EqualNoCase(open.path.substr(0, root.size()), root) &&
        (open.path.size() == root.size() || open.path[root.size()] == '\\'))
      return true;
  return false;
}

// Hives load only under HKEY_USERS: "HKU" in the log, any other key a number.
Arg RootName(HKEY key) { return key == HKEY_USERS ? Arg(std::string("HKU")) : Handle(key); }

std::string HiveHostPath(std::string_view windowsPath) {
  std::filesystem::path host = Resolve(windowsPath);
  if (host.empty())
    throw std::logic_error("win32stub: cannot map path " + std::string(windowsPath));
  return host.string();
}

}  // namespace

void ResetRegistry() {
  S().localMachine = std::make_shared<RegKey>();
  S().currentUser = std::make_shared<RegKey>();
  S().users = std::make_shared<RegKey>();
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

std::vector<std::string> SubkeyNames(HKEY root, std::string_view path) {
  std::vector<std::string> names;
  if (auto key = TestKey(root, path, false))
    for (const auto& [name, subkey] : key->subkeys) names.push_back(subkey->name);
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

HKEY PlaceHive(std::string_view windowsPath) {
  MakeFile(windowsPath, "regf");
  S().hiveFiles[HiveHostPath(windowsPath)] = std::make_shared<RegKey>();
  return HiveFile(windowsPath);
}

HKEY HiveFile(std::string_view windowsPath) {
  std::string host = HiveHostPath(windowsPath);
  if (!S().hiveFiles.count(host))
    throw std::logic_error("win32stub: no hive placed at " + std::string(windowsPath));
  for (const auto& [handle, file] : S().hiveFileRoots)
    if (file == host) return reinterpret_cast<HKEY>(handle);
  std::uintptr_t handle = NewHandle();
  S().hiveFileRoots[handle] = host;
  return reinterpret_cast<HKEY>(handle);
}

void FailHiveUnloads(int count) { S().failingUnloads = count; }

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
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS)
    return ERROR_SUCCESS;
  return S().openKeys.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS
                                                                   : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD, LPSTR,
                          LPDWORD, PFILETIME) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  const auto& subkeys = open->key->subkeys;
  if (index >= subkeys.size()) return ERROR_NO_MORE_ITEMS;
  return CopyName(std::next(subkeys.begin(), index)->second->name, name, nameLength);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD,
                          LPDWORD type, LPBYTE data, LPDWORD size) {
  const OpenKey* open = Lookup(key);
  if (!open) return ERROR_INVALID_HANDLE;
  if (!(open->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  const auto& values = open->key->values;
  if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
  auto found = std::next(values.begin(), index);
  LONG result = CopyName(found->first, name, nameLength);
  if (result != ERROR_SUCCESS) return result;
  if (type) *type = found->second.type;
  DWORD needed = static_cast<DWORD>(found->second.data.size());
  if (!size) return ERROR_SUCCESS;
  if (data && needed > *size) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data && needed) std::memcpy(data, found->second.data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI RegLoadKeyA(HKEY key, LPCSTR subKey, LPCSTR file) {
  State& s = S();
  std::string name = subKey ? subKey : "";
  std::filesystem::path host = Resolve(file ? file : "");
  std::error_code error;
  LONG result = ERROR_SUCCESS;
  if (key != HKEY_USERS || name.empty() || name.find('\\') != std::string::npos)
    result = ERROR_INVALID_PARAMETER;
  else if (!HoldsHivePrivileges())
    result = ERROR_PRIVILEGE_NOT_HELD;
  else if (s.users->subkeys.count(name))
    result = ERROR_ALREADY_EXISTS;
  else if (host.empty() || !std::filesystem::is_regular_file(host, error))
    result = ERROR_FILE_NOT_FOUND;
  else if (s.lockedFiles.count(host.string()) ||
           std::any_of(s.loadedHives.begin(), s.loadedHives.end(),
                       [&](const auto& loaded) { return loaded.second == host.string(); }))
    result = ERROR_SHARING_VIOLATION;
  else if (!s.hiveFiles.count(host.string()))
    result = ERROR_BADDB;
  if (result == ERROR_SUCCESS) {
    auto hive = Copy(*s.hiveFiles[host.string()]);
    hive->name = name;
    s.users->subkeys[name] = hive;
    s.loadedHives[name] = host.string();
  }
  Log("RegLoadKeyA", {RootName(key), Text(subKey), Text(file)}, result);
  return result;
}

LONG WINAPI RegUnLoadKeyA(HKEY key, LPCSTR subKey) {
  State& s = S();
  std::string name = subKey ? subKey : "";
  auto loaded = s.loadedHives.find(name);
  LONG result = ERROR_SUCCESS;
  if (key != HKEY_USERS || loaded == s.loadedHives.end())
    result = ERROR_INVALID_PARAMETER;
  else if (!HoldsHivePrivileges())
    result = ERROR_PRIVILEGE_NOT_HELD;
  else if (KeyOpenInHive(name))
    result = ERROR_ACCESS_DENIED;
  else if (s.failingUnloads > 0) {
    --s.failingUnloads;
    result = ERROR_ACCESS_DENIED;
  }
  if (result == ERROR_SUCCESS) {
    s.hiveFiles[loaded->second] = Copy(*s.users->subkeys[name]);
    s.users->subkeys.erase(name);
    s.loadedHives.erase(loaded);
  }
  Log("RegUnLoadKeyA", {RootName(key), Text(subKey)}, result);
  return result;
}

}  // extern "C"
