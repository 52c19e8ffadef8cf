// The list of file operations Windows carries out at the next restart
// (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager,
// PendingFileRenameOperations), and the package's own places in it.
//
// The value is a REG_MULTI_SZ of pairs: a source, then a destination. An
// empty destination deletes the source; "!" before a destination replaces
// what is there. The system records both in the form of its object names,
// "\??\C:\folder\file", and an empty source ends the list. No platform call
// here, so that the host tests run the same code.
#pragma once

#if defined(_WIN32)
typedef wchar_t PathUnit;  // UTF-16, as the W calls take it
#else
typedef char16_t PathUnit;  // the same units on the host
#endif

// A package place: a file or folder of the package, named as the system
// records it. With contents, everything inside the folder is the
// package's too.
const unsigned PlaceCapacity = 1100;  // "\??\UNC\" and a path of 1024 characters
struct PackagePlace {
  PathUnit Path[PlaceCapacity];
  unsigned Length;
  int WithContents;
};

// place := fullPath (a full path, "C:\..." or "\\server\share\...", without
// "." or ".." parts) in the form the system records it, without trailing
// separators. 0 when fullPath cannot name a package place: no drive or share
// to stand on, the root itself, a wildcard, stream or control character, or
// too long.
int MakePackagePlace(PackagePlace* place, const PathUnit* fullPath, int withContents);

// Takes out of the value (units long) every pair that deletes one of the
// places, keeping everything else unit for unit and in its order: other
// pairs, and whatever follows the end of the list. Works in place; returns
// the new length and sets *dropped to the number of pairs taken out.
unsigned DropPackageDeletions(PathUnit* value, unsigned units, const PackagePlace* places,
                              int placeCount, unsigned* dropped);

// 1 when a pair of the value (units long) names one of the places, or
// something inside one with contents, as its source or its destination,
// "!" or not: something of the package's waits for the restart.
int WaitsForPlace(const PathUnit* value, unsigned units, const PackagePlace* places,
                  int placeCount);

// 1 when the value holds no pair any more: nothing, or terminators only.
int IsEmptyList(const PathUnit* value, unsigned units);
