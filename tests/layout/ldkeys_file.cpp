#include "ldkeys_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ldkeys_test {
namespace {

struct Loaded {
  std::optional<pe::PeImage> image;
  std::optional<kbd::Layout> layout;
  std::string error;
};

const Loaded& Load() {
  static const Loaded loaded = [] {
    Loaded l;
    auto image = pe::PeImage::Load(LDKEYS_DLL);
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
  }();
  return loaded;
}

}  // namespace

const pe::PeImage* Image() {
  const Loaded& l = Load();
  if (!l.image) ADD_FAILURE() << "cannot read " << LDKEYS_DLL << ": " << l.error;
  return l.image ? &*l.image : nullptr;
}

const kbd::Layout* Layout() {
  const Loaded& l = Load();
  if (!l.layout) ADD_FAILURE() << "cannot read the layout in " << LDKEYS_DLL << ": " << l.error;
  return l.layout ? &*l.layout : nullptr;
}

}  // namespace ldkeys_test
