// Fonts and EUDC links.
#include "uninstall.h"

int RemoveFonts() { return 1; }
int RemoveEudcLinks() { return 1; }
