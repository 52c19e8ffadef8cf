// Package folders and folder removal.
#include "uninstall.h"

PackagePathsRecord PackagePaths;

int ResolvePackagePaths() { return 1; }
int RemoveTree(const char*) { return 1; }
int RemoveProgramGroup() { return 1; }
int RemoveInstallFolders() { return 1; }
