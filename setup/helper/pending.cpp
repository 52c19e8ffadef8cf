// The package's places in the list of file operations waiting for the
// restart, and the deletions of them taken out of it.
#include "pending.h"

static const PathUnit DrivePrefix[] = {'\\', '?', '?', '\\', 0};
static const PathUnit SharePrefix[] = {'\\', '?', '?', '\\', 'U', 'N', 'C', 0};

static unsigned Length(const PathUnit* text) {
  unsigned length = 0;
  while (text[length]) ++length;
  return length;
}

static int IsAsciiLetter(PathUnit c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Letters outside ASCII must match exactly. Setup and the uninstaller build
// the package's names from the same registry values, so names differ in
// case only where the system spells a folder itself ("C:\WINDOWS\system32");
// folding ASCII alone never joins two names the file system keeps apart.
static PathUnit FoldAscii(PathUnit c) {
  return (c >= 'a' && c <= 'z') ? static_cast<PathUnit>(c - 'a' + 'A') : c;
}

// No file or folder the package is installed under has these in its name:
// wildcards, a stream's colon, characters reserved in Win32 names.
static int IsForbiddenInPlace(PathUnit c) {
  switch (c) {
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case ':':
    case '/': return 1;
    default: return c < 0x20;
  }
}

// The length of the root of a full path: 3 for "C:\", the length of
// "\\server\share\" for a share; 0 for anything else, such as the device
// forms "\\?\" and "\\.\" or a share without a separator after it.
static unsigned RootLength(const PathUnit* path, unsigned length) {
  if (length >= 3 && IsAsciiLetter(path[0]) && path[1] == ':' && path[2] == '\\') return 3;
  if (length < 3 || path[0] != '\\' || path[1] != '\\' || path[2] == '?' || path[2] == '.')
    return 0;
  unsigned at = 2;
  for (int name = 0; name < 2; ++name) {
    unsigned start = at;
    while (at < length && path[at] != '\\') ++at;
    if (at == start || at == length) return 0;
    ++at;
  }
  return at;
}

int MakePackagePlace(PackagePlace* place, const PathUnit* fullPath, int withContents) {
  unsigned length = Length(fullPath);
  unsigned root = RootLength(fullPath, length);
  if (!root) return 0;
  while (length > root && fullPath[length - 1] == '\\') --length;
  if (length == root) return 0;
  for (unsigned at = root; at < length; ++at)
    if (IsForbiddenInPlace(fullPath[at])) return 0;

  // "C:\x" is recorded as "\??\C:\x", "\\server\share\x" as
  // "\??\UNC\server\share\x".
  const PathUnit* prefix = root == 3 ? DrivePrefix : SharePrefix;
  unsigned skipped = root == 3 ? 0 : 1;
  unsigned prefixLength = Length(prefix);
  if (prefixLength + length - skipped >= PlaceCapacity) return 0;
  unsigned out = 0;
  for (unsigned at = 0; at < prefixLength; ++at) place->Path[out++] = prefix[at];
  for (unsigned at = skipped; at < length; ++at) place->Path[out++] = fullPath[at];
  place->Path[out] = 0;
  place->Length = out;
  place->WithContents = withContents != 0;
  return 1;
}

// 1 when the entry (length units, not terminated) names the place, or
// something inside it when the place has contents. Compared on separators:
// "...\Lindorian2" is not inside "...\Lindorian". Separators after the
// place's name still name the place itself.
static int NamesPlace(const PathUnit* entry, unsigned length, const PackagePlace& place) {
  if (length < place.Length) return 0;
  for (unsigned at = 0; at < place.Length; ++at)
    if (FoldAscii(entry[at]) != FoldAscii(place.Path[at])) return 0;
  unsigned rest = place.Length;
  while (rest < length && entry[rest] == '\\') ++rest;
  if (rest == length) return 1;
  return place.WithContents && rest > place.Length;
}

static int NamesAnyPlace(const PathUnit* entry, unsigned length, const PackagePlace* places,
                         int placeCount) {
  for (int i = 0; i < placeCount; ++i)
    if (NamesPlace(entry, length, places[i])) return 1;
  return 0;
}

// The index of the terminator of the string starting at from; units when
// the value ends first.
static unsigned StringEnd(const PathUnit* value, unsigned from, unsigned units) {
  while (from < units && value[from]) ++from;
  return from;
}

// Finds the pair that starts at from: its source ends at *sourceEnd, its
// destination at *targetEnd. 0 where the list ends (an empty source) or
// the value cuts the pair short.
static int FindPair(const PathUnit* value, unsigned from, unsigned units, unsigned* sourceEnd,
                    unsigned* targetEnd) {
  if (from >= units || !value[from]) return 0;
  *sourceEnd = StringEnd(value, from, units);
  if (*sourceEnd == units) return 0;
  *targetEnd = StringEnd(value, *sourceEnd + 1, units);
  return *targetEnd != units;
}

unsigned DropPackageDeletions(PathUnit* value, unsigned units, const PackagePlace* places,
                              int placeCount, unsigned* dropped) {
  *dropped = 0;
  unsigned read = 0;
  unsigned write = 0;
  unsigned sourceEnd, targetEnd;
  // What follows the pairs, a pair cut short among it, is left as it is.
  while (FindPair(value, read, units, &sourceEnd, &targetEnd)) {
    unsigned next = targetEnd + 1;
    int deletes = targetEnd == sourceEnd + 1;
    if (deletes && NamesAnyPlace(value + read, sourceEnd - read, places, placeCount)) {
      ++*dropped;
    } else {
      // Moving down only: write never passes read.
      while (read < next) value[write++] = value[read++];
    }
    read = next;
  }
  while (read < units) value[write++] = value[read++];
  return write;
}

int WaitsForPlace(const PathUnit* value, unsigned units, const PackagePlace* places,
                  int placeCount) {
  unsigned read = 0;
  unsigned sourceEnd, targetEnd;
  while (FindPair(value, read, units, &sourceEnd, &targetEnd)) {
    unsigned target = sourceEnd + 1;
    if (target < targetEnd && value[target] == '!') ++target;
    if (NamesAnyPlace(value + read, sourceEnd - read, places, placeCount) ||
        (target < targetEnd &&
         NamesAnyPlace(value + target, targetEnd - target, places, placeCount)))
      return 1;
    read = targetEnd + 1;
  }
  return 0;
}

int IsEmptyList(const PathUnit* value, unsigned units) {
  for (unsigned at = 0; at < units; ++at)
    if (value[at]) return 0;
  return 1;
}
