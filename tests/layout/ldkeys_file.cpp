#include "ldkeys_file.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace ldkeys_test {
namespace {

struct Loaded {
  std::optional<pe::PeImage> image;
  std::optional<kbd::Layout> layout;
  std::string error;
};

const Loaded& Load(Module module) {
  static std::map<Module, Loaded> cache;
  auto found = cache.find(module);
  if (found != cache.end()) return found->second;
  Loaded& l = cache[module];
  auto image = pe::PeImage::Load(ModulePath(module));
  if (!image) {
    l.error = image.error();
    return l;
  }
  l.image = *image;
  auto layout = kbd::ReadLayout(*l.image);
  if (!layout) {
    l.error = layout.error();
    return l;
  }
  l.layout = *layout;
  return l;
}

}  // namespace

std::string ModuleName(Module module) {
  switch (module) {
    case Module::kI386: return "i386";
    case Module::kWow64: return "wow64";
    case Module::kAmd64: return "amd64";
    case Module::kArm64: return "arm64";
  }
  return "unknown";
}

std::string ModulePath(Module module) {
  const std::string dist = LDKEYS_DIST_DIR;
  return module == Module::kI386 ? dist + "/ldkeys.dll" : dist + "/" + ModuleName(module) + "/ldkeys.dll";
}

const pe::PeImage* Image(Module module) {
  const Loaded& l = Load(module);
  if (!l.image) ADD_FAILURE() << "cannot read " << ModulePath(module) << ": " << l.error;
  return l.image ? &*l.image : nullptr;
}

const kbd::Layout* Layout(Module module) {
  const Loaded& l = Load(module);
  if (!l.layout) ADD_FAILURE() << "cannot read the layout in " << ModulePath(module) << ": " << l.error;
  return l.layout ? &*l.layout : nullptr;
}

}  // namespace ldkeys_test
