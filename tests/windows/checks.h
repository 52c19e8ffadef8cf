// The test programs' checks: each failure prints what did not hold, and the
// program's exit code says whether any did.
#pragma once

#include <stdio.h>

inline int Failures = 0;

inline void Check(bool ok, const char* what) {
  if (!ok) {
    printf("FAIL: %s\n", what);
    ++Failures;
  }
}
