// Office add-ins.
#include "uninstall.h"

int RemoveWordTemplate() { return 1; }
int RemoveExcelAddin() { return 1; }
