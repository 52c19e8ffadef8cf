// The package's TrueType fonts and the current user's EUDC font links.
#include "uninstall.h"

static const char FontRegistrationsPath[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
static const char EudcLinksPath[] = "EUDC\\950";

static const char SerifFontFile[] = "ldser.ttf";
static const char FixedFontFile[] = "ldfix.ttf";
static const char SerifFontRegistration[] = "Lindorian Serif (TrueType)";
static const char FixedFontRegistration[] = "Lindorian Fixed (TrueType)";

// EUDC links are named after the system face they extend, in code page 950
// (Big5) bytes, and go through the ANSI registry calls unconverted.
static const char MingFaceName[] = "\xB2\xD3\xA9\xFA\xC5\xE9";             // 細明體 (MingLiU)
static const char NewMingFaceName[] = "\xB7\x73\xB2\xD3\xA9\xFA\xC5\xE9";  // 新細明體 (PMingLiU)
static const char KaiFaceName[] = "\xBC\xD0\xB7\xA2\xC5\xE9";              // 標楷體 (DFKai-SB)
static const char MingEudcFile[] = "ldeudb.tte";
static const char KaiEudcFile[] = "ldeuda.tte";

// How long one window may take over the font-change notice before the
// broadcast moves on; hung windows are skipped at once.
static const UINT FontChangeTimeoutMs = 3000;

static void BroadcastFontChange() {
  SendMessageTimeoutA(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG, FontChangeTimeoutMs,
                      nullptr);
}

// Takes the font out of the running system first: a file still in use
// cannot be deleted, and goes at the next restart instead.
static void RemoveFontFile(const char* fileName) {
  char path[MAX_PATH];
  if (!JoinPath(path, PackagePaths.FontsFolder, fileName)) return;
  RemoveFontResourceA(path);
  BroadcastFontChange();
  DeleteFileNowOrAtRestart(path);
}

int RemoveFonts() {
  if (IsResolved(PackagePaths.FontsFolder)) {
    RemoveFontFile(SerifFontFile);
    RemoveFontFile(FixedFontFile);
  }
  HKEY registrations;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, FontRegistrationsPath, 0, KEY_ALL_ACCESS, &registrations) !=
      ERROR_SUCCESS)
    return 1;
  RegDeleteValueA(registrations, SerifFontRegistration);
  RegDeleteValueA(registrations, FixedFontRegistration);
  RegCloseKey(registrations);
  return 1;
}

// Deletes the link only when it points at the package's own EUDC file;
// links to other products' files stay.
static void RemoveLinkToPackageFile(HKEY links, const char* faceName, const char* packageFile) {
  if (!IsResolved(packageFile)) return;
  char linkedFile[MAX_PATH];
  if (ReadStringValue(links, faceName, linkedFile, MAX_PATH) &&
      lstrcmpiA(linkedFile, packageFile) == 0)
    RegDeleteValueA(links, faceName);
}

// Inlined into both callers, so that uninstall.exe's own step stays the code
// it always was, with HKEY_CURRENT_USER in place of the key.
__attribute__((always_inline)) static inline int RemoveEudcLinksUnder(HKEY userRoot) {
  if (!IsResolved(PackagePaths.InstallFolder)) return 1;
  char mingFile[MAX_PATH];
  char kaiFile[MAX_PATH];
  int mingFormed = JoinPath(mingFile, PackagePaths.InstallFolder, MingEudcFile);
  int kaiFormed = JoinPath(kaiFile, PackagePaths.InstallFolder, KaiEudcFile);
  if (!mingFormed && !kaiFormed) return 1;

  HKEY links;
  if (RegOpenKeyExA(userRoot, EudcLinksPath, 0, KEY_ALL_ACCESS, &links) != ERROR_SUCCESS) return 1;
  RemoveLinkToPackageFile(links, MingFaceName, mingFile);
  RemoveLinkToPackageFile(links, NewMingFaceName, mingFile);
  RemoveLinkToPackageFile(links, KaiFaceName, kaiFile);
  RegCloseKey(links);
  return 1;
}

int RemoveEudcLinks() { return RemoveEudcLinksUnder(HKEY_CURRENT_USER); }

int RemoveEudcLinksFor(HKEY userRoot) { return RemoveEudcLinksUnder(userRoot); }
