// The built module under test, read once for all tests.
#pragma once

#include "kbdinspect/layout.h"
#include "pe/pe_image.h"

namespace ldkeys_test {

// The image and its layout tables, or null after recording a test failure
// that says why (a missing dist/ldkeys.dll, or one whose layout cannot be
// read, fails every test).
const pe::PeImage* Image();
const kbd::Layout* Layout();

}  // namespace ldkeys_test
