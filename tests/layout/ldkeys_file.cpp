#include "ldkeys_file.h"

#include <gtest/gtest.h>

namespace ldkeys_test {
namespace {

const kbd::LayoutFile* Load() {
  static const auto loaded = kbd::LoadLayout(LDKEYS_DLL);
  if (!loaded) ADD_FAILURE() << "cannot read the layout module: " << loaded.error();
  return loaded ? &*loaded : nullptr;
}

}  // namespace

const pe::PeImage* Image() {
  const kbd::LayoutFile* file = Load();
  return file ? &file->image : nullptr;
}

const kbd::Layout* Layout() {
  const kbd::LayoutFile* file = Load();
  return file ? &file->layout : nullptr;
}

}  // namespace ldkeys_test
