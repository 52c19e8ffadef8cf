#include "ldkeys_file.h"

#include <gtest/gtest.h>

#include <map>

namespace ldkeys_test {
namespace {

const kbd::LayoutFile* Load(Module module) {
  static std::map<Module, pe::Expected<kbd::LayoutFile>> cache;
  auto found = cache.find(module);
  if (found == cache.end())
    found = cache
                .emplace(module, kbd::LoadLayout(ModulePath(module), module == Module::kArm64ec
                                                                         ? kbd::View::kArm64ec
                                                                         : kbd::View::kNative))
                .first;
  const auto& loaded = found->second;
  if (!loaded) ADD_FAILURE() << "cannot read " << ModulePath(module) << ": " << loaded.error();
  return loaded ? &*loaded : nullptr;
}

}  // namespace

std::string ModuleName(Module module) {
  switch (module) {
    case Module::kI386: return "i386";
    case Module::kWow64: return "wow64";
    case Module::kAmd64: return "amd64";
    case Module::kArm64: return "arm64";
    case Module::kArm64ec: return "arm64ec";
  }
  return "unknown";
}

std::string ModulePath(Module module) {
  const std::string dist = LDKEYS_DIST_DIR;
  if (module == Module::kI386) return dist + "/ldkeys.dll";
  if (module == Module::kArm64ec) return dist + "/arm64/ldkeys.dll";
  return dist + "/" + ModuleName(module) + "/ldkeys.dll";
}

const pe::PeImage* Image(Module module) {
  const kbd::LayoutFile* file = Load(module);
  return file ? &file->image : nullptr;
}

const kbd::Layout* Layout(Module module) {
  const kbd::LayoutFile* file = Load(module);
  return file ? &file->layout : nullptr;
}

}  // namespace ldkeys_test
