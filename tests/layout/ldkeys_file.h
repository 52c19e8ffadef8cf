// The built modules under test, each read once for all tests.
#pragma once

#include <string>

#include "kbdinspect/layout.h"
#include "pe/pe_image.h"

namespace ldkeys_test {

// The four builds of ldkeys.dll in dist/; the ARM64X one is read in both
// its views, kArm64 the native one.
enum class Module { kI386, kWow64, kAmd64, kArm64, kArm64ec };
std::string ModulePath(Module module);
// "i386", "wow64", ...: the folder name in dist/, and the test name suffix.
std::string ModuleName(Module module);

// The image (in the module's view) and its layout tables, or null after recording a test failure
// that says why (a missing or unreadable module fails every test).
const pe::PeImage* Image(Module module = Module::kI386);
const kbd::Layout* Layout(Module module = Module::kI386);

}  // namespace ldkeys_test
