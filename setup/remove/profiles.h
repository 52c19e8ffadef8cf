#pragma once
#include <windows.h>
void RemovePackageFromEveryProfile(const char* klid);
void RemoveActiveSetupComponent();
