// Plays the user in front of uninstall.exe or lindorian-setup.exe: runs in
// the same Wine prefix as the program. For the uninstaller it waits for the
// confirmation box, checks what the box and the main window show, answers,
// and acknowledges the completion box. For the installer it goes through
// the wizard's pages with the default button, or acknowledges the box with
// which the installer refuses to start.
//
//   boxdriver.exe ok|cancel [--window UNINSTALL_EXE] [--pause FOLDER] [--timeout SECONDS]
//   boxdriver.exe setup [--refusal TEXT] [--mode TEXT] [--pause FOLDER] [--timeout SECONDS]
//
//   --window   also check the main window (class, title, outer size, style,
//              disabled while the box is up, owner of the box) and compare
//              pixels of its client area with the "BKGND" bitmap resource of
//              UNINSTALL_EXE.
//   --refusal  expect, instead of the wizard, the installer's message box
//              with TEXT, and acknowledge it.
//   --mode     expect the page that asks for whom to install, with the
//              radio button labelled TEXT (in UTF-8, "&" and all) checked
//              when it comes up, and pass it so.
//   --pause    once the confirmation box is checked, or the wizard's first
//              page is up, create FOLDER\box-up (holding the rectangle
//              around the windows) and wait until FOLDER\go exists: the host
//              takes its screenshot meanwhile.
//   --timeout  how long to wait for each window, 120 s by default.
//
// Exit code 0 when everything held; otherwise the code of the first failed
// check (see the Exit enum), with a line on standard output saying why.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum Exit {
  kPassed = 0,
  kUsage = 2,
  kNoConfirmationBox = 10,
  kConfirmationText = 11,
  kNoButton = 12,
  kNoMainWindow = 20,
  kWindowTitle = 21,
  kWindowSize = 22,
  kWindowStyle = 23,
  kBoxOwner = 24,
  kWindowEnabled = 25,
  kNoBitmap = 26,
  kBackground = 27,
  kPauseTimeout = 30,
  kBoxStayed = 40,
  kNoCompletionBox = 41,
  kCompletionText = 42,
  kCompletionAfterCancel = 43,
  kWindowStayed = 44,
  kNoWizard = 50,
  kWizardStuck = 51,
  kNoRefusal = 52,
  kRefusalText = 53,
  kNoModePage = 54,
  kModeChoice = 55,
};

const char kCaption[] = "Lindorian Package 2.10";
const char kConfirmationTextExpected[] = "To uninstall the Lindorian Package?";
const char kCompletionTextExpected[] =
    "Uninstallation completed. Remember to restart Windows to take effect.";
const char kMainClass[] = "Lindorian";
const char kMainTitle[] = "Lindorian Package Uninstall";
const LONG kPictureWidth = 640;
const LONG kPictureHeight = 480;
const WORD kResourceLanguage = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);  // 1028

DWORD TimeoutMs = 120000;
DWORD StartTick;

int Fail(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("boxdriver: FAIL (%d): ", code);
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
  return code;
}

void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("boxdriver: [%5.1f s] ", (GetTickCount() - StartTick) / 1000.0);
  vprintf(format, args);
  printf("\n");
  va_end(args);
  fflush(stdout);
}

// The uninstaller's message boxes: standard dialogs with its caption.
HWND FindMessageBox() {
  HWND box = FindWindowA("#32770", kCaption);
  return (box && IsWindowVisible(box)) ? box : nullptr;
}

HWND WaitForMessageBox(HWND other) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < TimeoutMs; Sleep(100)) {
    HWND box = FindMessageBox();
    if (box && box != other) return box;
  }
  return nullptr;
}

bool WaitUntilGone(HWND window) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < TimeoutMs; Sleep(100))
    if (!IsWindow(window)) return true;
  return false;
}

// The box's message is its static control with text; the icon is a static
// control too, without text.
struct TextSearch {
  char text[512];
};

BOOL CALLBACK CollectStaticText(HWND child, LPARAM param) {
  TextSearch* search = reinterpret_cast<TextSearch*>(param);
  char className[32];
  char text[512];
  if (GetClassNameA(child, className, sizeof className) && lstrcmpiA(className, "Static") == 0 &&
      GetWindowTextA(child, text, sizeof text) > 0) {
    lstrcpynA(search->text, text, sizeof search->text);
    return FALSE;
  }
  return TRUE;
}

void ReadBoxText(HWND box, TextSearch* search) {
  search->text[0] = 0;
  EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(search));
}

// Answers like a click on the button: the dialog ends with the button's id.
int PressButton(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  if (!button) return Fail(kNoButton, "the box has no button with id %d", id);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return kPassed;
}

// --- the background picture ------------------------------------------------

// The 8-bit picture as stored in the resource: header, palette, rows, in
// the program's file mapped as data, which the driver lets go of before it
// answers: the program is about to delete that file.
struct Picture {
  HMODULE module;
  const BITMAPINFOHEADER* header;
  const RGBQUAD* palette;
  const BYTE* bits;
};

bool LoadPicture(const char* exePath, Picture* picture) {
  HMODULE module = LoadLibraryExA(exePath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return false;
  picture->module = module;
  HRSRC resource =
      FindResourceExA(module, MAKEINTRESOURCEA(2) /* RT_BITMAP */, "BKGND", kResourceLanguage);
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(module, resource);
  const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = SizeofResource(module, resource);
  if (!data || size < sizeof(BITMAPINFOHEADER)) return false;
  const BITMAPINFOHEADER* header = reinterpret_cast<const BITMAPINFOHEADER*>(data);
  LONG height = header->biHeight < 0 ? -header->biHeight : header->biHeight;
  DWORD colours = header->biClrUsed ? header->biClrUsed : 256;
  DWORD paletteEnd = header->biSize + colours * sizeof(RGBQUAD);
  if (header->biWidth != kPictureWidth || height != kPictureHeight || header->biBitCount != 8 ||
      header->biCompression != BI_RGB || colours > 256 ||
      paletteEnd + DWORD(kPictureWidth * kPictureHeight) > size)
    return false;
  picture->header = header;
  picture->palette = reinterpret_cast<const RGBQUAD*>(data + header->biSize);
  picture->bits = data + paletteEnd;
  return true;
}

COLORREF PictureColour(const Picture& picture, LONG x, LONG y) {
  // Rows of 640 one-byte pixels need no padding; positive heights are
  // stored bottom row first.
  LONG row = picture.header->biHeight > 0 ? kPictureHeight - 1 - y : y;
  const RGBQUAD& entry = picture.palette[picture.bits[row * kPictureWidth + x]];
  return RGB(entry.rgbRed, entry.rgbGreen, entry.rgbBlue);
}

// Compares a grid of client-area pixels, as the screen shows them, with the
// picture. Points under the message box (and a margin for its frame) are
// left out; so are points past the picture's edges. Reports the first few
// differences when asked.
int CompareBackground(HWND window, HWND box, const Picture& picture, bool report, int* compared) {
  RECT client;
  GetClientRect(window, &client);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  RECT boxRect;
  GetWindowRect(box, &boxRect);
  InflateRect(&boxRect, 8, 8);
  LONG width = client.right < kPictureWidth ? client.right : kPictureWidth;
  LONG height = client.bottom < kPictureHeight ? client.bottom : kPictureHeight;

  HDC screen = GetDC(nullptr);
  int mismatches = 0;
  *compared = 0;
  for (int gy = 0; gy < 12; ++gy) {
    for (int gx = 0; gx < 16; ++gx) {
      LONG x = 3 + gx * (width - 6) / 15;
      LONG y = 3 + gy * (height - 6) / 11;
      POINT onScreen = {origin.x + x, origin.y + y};
      if (x >= width || y >= height || PtInRect(&boxRect, onScreen)) continue;
      COLORREF shown = GetPixel(screen, onScreen.x, onScreen.y);
      COLORREF expected = PictureColour(picture, x, y);
      ++*compared;
      if (shown != expected) {
        if (report && mismatches < 5)
          Note("pixel (%ld,%ld): screen %06lX, picture %06lX", x, y, shown, expected);
        ++mismatches;
      }
    }
  }
  ReleaseDC(nullptr, screen);
  return mismatches;
}

// --- checks ----------------------------------------------------------------

int CompareWithPicture(HWND window, HWND box, const Picture& picture) {
  // The modal loop paints the window soon after the box appears; give it
  // a moment before calling a difference a failure.
  const int attempts = 20;
  int compared = 0, mismatches = 0;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    mismatches = CompareBackground(window, box, picture, attempt == attempts, &compared);
    if (mismatches == 0) break;
    Sleep(250);
  }
  if (compared < 40)
    return Fail(kBackground, "only %d background pixels visible around the box", compared);
  if (mismatches)
    return Fail(kBackground, "%d of %d background pixels differ from the bitmap", mismatches,
                compared);
  Note("background: %d pixels match the bitmap", compared);
  return kPassed;
}

int CheckMainWindow(HWND box, const char* exePath) {
  HWND window = FindWindowA(kMainClass, nullptr);
  if (!window) return Fail(kNoMainWindow, "no window of class \"%s\"", kMainClass);
  char title[128];
  GetWindowTextA(window, title, sizeof title);
  if (lstrcmpA(title, kMainTitle) != 0)
    return Fail(kWindowTitle, "main window title \"%s\"", title);
  RECT outer;
  GetWindowRect(window, &outer);
  LONG width = outer.right - outer.left, height = outer.bottom - outer.top;
  if (width != kPictureWidth || height != kPictureHeight)
    return Fail(kWindowSize, "main window is %ld x %ld, expected 640 x 480", width, height);
  LONG style = GetWindowLongA(window, GWL_STYLE);
  if ((style & WS_OVERLAPPEDWINDOW) != WS_OVERLAPPEDWINDOW || GetParent(window))
    return Fail(kWindowStyle, "main window style %08lX", style);
  if (GetWindow(box, GW_OWNER) != window)
    return Fail(kBoxOwner, "the message box is not owned by the main window");
  if (IsWindowEnabled(window))
    return Fail(kWindowEnabled, "the main window is enabled while the box is up");
  Note("main window %ld x %ld at (%ld,%ld), style %08lX, owns the box", width, height, outer.left,
       outer.top, style);

  Picture picture = {};
  bool loaded = LoadPicture(exePath, &picture);
  int result = loaded ? CompareWithPicture(window, box, picture) : kPassed;
  if (picture.module) FreeLibrary(picture.module);
  if (!loaded)
    return Fail(kNoBitmap, "no 640 x 480 8-bit BKGND bitmap (language 1028) in %s", exePath);
  return result;
}

int CheckBox(HWND box, const char* expected, int code) {
  TextSearch search;
  ReadBoxText(box, &search);
  if (lstrcmpA(search.text, expected) != 0)
    return Fail(code, "box text \"%s\", expected \"%s\"", search.text, expected);
  Note("box says \"%s\"", search.text);
  return kPassed;
}

bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// The marker file holds the screen rectangle around the main window and the
// box as "left top width height", so that the host can crop its screenshot.
int PauseForHost(const char* folder, HWND window, HWND box) {
  char upPath[MAX_PATH], goPath[MAX_PATH];
  snprintf(upPath, sizeof upPath, "%s\\box-up", folder);
  snprintf(goPath, sizeof goPath, "%s\\go", folder);
  RECT windowRect = {0, 0, 0, 0}, boxRect = {0, 0, 0, 0}, outer;
  GetWindowRect(window, &windowRect);
  GetWindowRect(box, &boxRect);
  UnionRect(&outer, &windowRect, &boxRect);
  char text[64];
  int length = snprintf(text, sizeof text, "%ld %ld %ld %ld\n", outer.left, outer.top,
                        outer.right - outer.left, outer.bottom - outer.top);
  HANDLE up =
      CreateFileA(upPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (up == INVALID_HANDLE_VALUE) return Fail(kPauseTimeout, "cannot create %s", upPath);
  DWORD written = 0;
  WriteFile(up, text, DWORD(length), &written, nullptr);
  CloseHandle(up);
  for (DWORD start = GetTickCount(); GetTickCount() - start < TimeoutMs; Sleep(100))
    if (FileExists(goPath)) return kPassed;
  return Fail(kPauseTimeout, "%s did not appear", goPath);
}

// After the last answer the program ends, and the system takes its window.
int WaitForProgramEnd(HWND window, bool cancelled) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < TimeoutMs; Sleep(100)) {
    if (cancelled && FindMessageBox())
      return Fail(kCompletionAfterCancel, "a message box came up after Cancel");
    if (!IsWindow(window)) return kPassed;
  }
  return Fail(kWindowStayed, "the main window is still there");
}

// --- the installer -----------------------------------------------------------

// The installer's windows, the wizard and its message boxes, carry the
// package's name and the word for setup in the page language.
const char kSetupCaptionStart[] = "Lindorian Package 2.10 ";
// The wizard's default button: Install, Next or Finish.
const int kNextButton = 1;
// Only the wizard has a Back button (hidden on its first page).
const int kBackButton = 3;

struct SetupSearch {
  bool wizard;
  HWND found;
};

BOOL CALLBACK MatchSetupWindow(HWND window, LPARAM param) {
  SetupSearch* search = reinterpret_cast<SetupSearch*>(param);
  char className[32];
  char title[128];
  if (IsWindowVisible(window) && GetClassNameA(window, className, sizeof className) &&
      lstrcmpA(className, "#32770") == 0 && GetWindowTextA(window, title, sizeof title) &&
      strncmp(title, kSetupCaptionStart, sizeof kSetupCaptionStart - 1) == 0 &&
      (GetDlgItem(window, kBackButton) != nullptr) == search->wizard) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitForSetupWindow(bool wizard) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < TimeoutMs; Sleep(100)) {
    SetupSearch search = {wizard, nullptr};
    EnumWindows(MatchSetupWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
  }
  return nullptr;
}

// A window's text in UTF-8, whatever the page language and code page.
void ReadUtf8Text(HWND window, char* text, int size) {
  WCHAR wide[128] = L"";
  GetWindowTextW(window, wide, 128);
  text[0] = 0;
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, size, nullptr, nullptr);
}

// The radio buttons on a page: how many, and the label of the checked one.
struct RadioSearch {
  int count;
  char checked[384];
};

BOOL CALLBACK CollectRadioButton(HWND child, LPARAM param) {
  RadioSearch* search = reinterpret_cast<RadioSearch*>(param);
  char className[32];
  LONG type = GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK;
  if (GetClassNameA(child, className, sizeof className) && lstrcmpiA(className, "Button") == 0 &&
      (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON)) {
    ++search->count;
    if (SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED)
      ReadUtf8Text(child, search->checked, sizeof search->checked);
  }
  return TRUE;
}

// The page asking for whom to install is the one with radio buttons: the
// one labelled mode must be checked.
int CheckModePage(HWND page, const char* mode, bool* seen) {
  RadioSearch search = {0, ""};
  EnumChildWindows(page, CollectRadioButton, reinterpret_cast<LPARAM>(&search));
  if (search.count == 0) return kPassed;
  *seen = true;
  Note("the page asking for whom: %d choices, \"%s\" checked", search.count, search.checked);
  if (mode && strcmp(search.checked, mode) != 0)
    return Fail(kModeChoice, "\"%s\" is checked, expected \"%s\"", search.checked, mode);
  return kPassed;
}

// The wizard makes each page anew as a dialog inside its window, and shows
// it once its controls are made. Presses the default button once on every
// page where it is enabled, until the wizard is gone; the installation
// page moves on by itself when it is done. Given mode, the page asking for
// whom to install must come, with that choice checked.
int GoThroughWizard(HWND wizard, const char* mode) {
  HWND pressedOn = nullptr;
  int pressed = 0;
  bool modePageSeen = false;
  for (DWORD start = GetTickCount(); IsWindow(wizard); Sleep(100)) {
    if (GetTickCount() - start > TimeoutMs)
      return Fail(kWizardStuck, "the wizard stayed on one page for %lu s", TimeoutMs / 1000);
    HWND page = FindWindowExA(wizard, nullptr, "#32770", nullptr);
    HWND button = GetDlgItem(wizard, kNextButton);
    if (!page || page == pressedOn || !IsWindowVisible(page) || !button ||
        !IsWindowVisible(button) || !IsWindowEnabled(button))
      continue;
    int result = CheckModePage(page, mode, &modePageSeen);
    if (result != kPassed) return result;
    char text[192];
    ReadUtf8Text(button, text, sizeof text);
    Note("page %d: pressing \"%s\"", ++pressed, text);
    result = PressButton(wizard, kNextButton);
    if (result != kPassed) return result;
    pressedOn = page;
    start = GetTickCount();
  }
  Note("the wizard is gone");
  if (mode && !modePageSeen) return Fail(kNoModePage, "no page asked for whom to install");
  return kPassed;
}

int AcknowledgeRefusal(const char* expected) {
  HWND box = WaitForSetupWindow(false);
  if (!box)
    return Fail(kNoRefusal, "no \"%s...\" box within %lu s", kSetupCaptionStart, TimeoutMs / 1000);
  int result = CheckBox(box, expected, kRefusalText);
  if (result == kPassed) result = PressButton(box, IDOK);
  if (result == kPassed && !WaitUntilGone(box))
    result = Fail(kBoxStayed, "the installer's box stayed after OK");
  if (result == kPassed) Note("pressed OK on the installer's box");
  return result;
}

struct Options {
  bool setup;
  bool answerOk;
  const char* windowExe;
  const char* pauseFolder;
  const char* refusal;
  const char* mode;
};

int DriveSetup(const Options& options) {
  if (options.refusal) return AcknowledgeRefusal(options.refusal);
  HWND wizard = WaitForSetupWindow(true);
  if (!wizard)
    return Fail(kNoWizard, "no \"%s...\" wizard within %lu s", kSetupCaptionStart,
                TimeoutMs / 1000);
  Note("the setup wizard is up");
  if (options.pauseFolder) {
    int result = PauseForHost(options.pauseFolder, wizard, wizard);
    if (result != kPassed) return result;
  }
  return GoThroughWizard(wizard, options.mode);
}

bool ParseOptions(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  options->setup = strcmp(argv[1], "setup") == 0;
  options->answerOk = strcmp(argv[1], "ok") == 0;
  if (!options->setup && !options->answerOk && strcmp(argv[1], "cancel") != 0) return false;
  options->windowExe = nullptr;
  options->pauseFolder = nullptr;
  options->refusal = nullptr;
  options->mode = nullptr;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    if (strcmp(argv[i], "--window") == 0 && !options->setup)
      options->windowExe = argv[i + 1];
    else if (strcmp(argv[i], "--refusal") == 0 && options->setup)
      options->refusal = argv[i + 1];
    else if (strcmp(argv[i], "--mode") == 0 && options->setup)
      options->mode = argv[i + 1];
    else if (strcmp(argv[i], "--pause") == 0)
      options->pauseFolder = argv[i + 1];
    else if (strcmp(argv[i], "--timeout") == 0)
      TimeoutMs = DWORD(atoi(argv[i + 1])) * 1000;
    else
      return false;
  }
  return TimeoutMs > 0;
}

int Drive(const Options& options) {
  HWND box = WaitForMessageBox(nullptr);
  if (!box)
    return Fail(kNoConfirmationBox, "no \"%s\" box within %lu s", kCaption, TimeoutMs / 1000);
  Note("confirmation box is up");
  HWND window = GetWindow(box, GW_OWNER);
  int result = CheckBox(box, kConfirmationTextExpected, kConfirmationText);
  if (result == kPassed && options.windowExe) result = CheckMainWindow(box, options.windowExe);
  if (result == kPassed && options.pauseFolder)
    result = PauseForHost(options.pauseFolder, window, box);
  if (result != kPassed) return result;

  result = PressButton(box, options.answerOk ? IDOK : IDCANCEL);
  if (result != kPassed) return result;
  Note("pressed %s", options.answerOk ? "OK" : "Cancel");
  if (!WaitUntilGone(box)) return Fail(kBoxStayed, "the confirmation box stayed after the answer");

  if (options.answerOk) {
    HWND done = WaitForMessageBox(box);
    if (!done) return Fail(kNoCompletionBox, "no completion box within %lu s", TimeoutMs / 1000);
    result = CheckBox(done, kCompletionTextExpected, kCompletionText);
    if (result != kPassed) return result;
    result = PressButton(done, IDOK);
    if (result != kPassed) return result;
    Note("pressed OK on the completion box");
  }
  result = WaitForProgramEnd(window, !options.answerOk);
  if (result == kPassed) Note("the uninstaller's window is gone");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  StartTick = GetTickCount();
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    printf(
        "usage: boxdriver ok|cancel [--window UNINSTALL_EXE] [--pause FOLDER] [--timeout SECONDS]\n"
        "       boxdriver setup [--refusal TEXT] [--mode TEXT] [--pause FOLDER] [--timeout "
        "SECONDS]\n");
    return kUsage;
  }
  return options.setup ? DriveSetup(options) : Drive(options);
}
