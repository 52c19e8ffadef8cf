// Keyboard layout deregistration.
#include "uninstall.h"

int RemoveKeyboardLayout() { return 1; }
int FindLayoutKey(HKEY, char*, const char*) { return 0; }
int RemovePreloadEntry(HKEY, const char*) { return 1; }
int ActivateReplacementLayout(HKEY, const char*) { return 1; }
