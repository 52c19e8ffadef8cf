// The package's entries in the profiles of every user of the machine, and
// the Active Setup component that gives them to each user (profiles.cpp).
#pragma once

#include <windows.h>

// Every profile that ProfileList names: a signed-in user's hive where it is
// open under HKEY_USERS, any other loaded from its NTUSER.DAT and unloaded
// again. A hive that cannot be loaded is passed over. klid is the package's
// KLID as found before the removal, or "" when none was found: then the
// layout's entries cannot be told from others' and stay. The EUDC links are
// compared with PackagePaths.InstallFolder, which the caller fills.
void RemovePackageFromEveryProfile(const char* klid);

// One user's hive, open at userRoot; profileFolder is the profile folder
// ProfileList names, expanded. The program group is removed only inside it.
void RemovePackageFromProfile(HKEY userRoot, const char* profileFolder, const char* klid);

// The component in HKLM, in this 32-bit program's view, where Setup wrote it.
void RemoveActiveSetupComponent();
