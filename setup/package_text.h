// The package's values reach Setup's programs as narrow string literals
// (PACKAGE_CXX_DEFINITIONS in cmake/package.cmake), for the ANSI units and
// the W calls alike: PACKAGE_WIDE(PACKAGE_USER_KEY) is the wide one.
#pragma once

#define PACKAGE_WIDE_LITERAL(text) L##text
#define PACKAGE_WIDE(text) PACKAGE_WIDE_LITERAL(text)
