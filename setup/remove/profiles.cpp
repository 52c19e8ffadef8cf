#include "profiles.h"
void RemovePackageFromEveryProfile(const char*) {}
void RemoveActiveSetupComponent() {}
