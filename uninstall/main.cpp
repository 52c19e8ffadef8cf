// Process entry, main flow and the window that shows the package's picture
// while the user decides.
#include "uninstall.h"

HWND MainWindow;
HBITMAP BackgroundBitmap;

static const char WindowClassName[] = "Lindorian";
static const char WindowTitle[] = "Lindorian Package Uninstall";
static const char MessageCaption[] = "Lindorian Package 2.10";
static const char ConfirmationText[] = "To uninstall the Lindorian Package?";
static const char CompletionText[] =
    "Uninstallation completed. Remember to restart Windows to take effect.";
static const int PictureWidth = 640;
static const int PictureHeight = 480;

// The record is filled field by field: a brace initialiser would let the
// compiler call memset, and this program links no C runtime.
static ATOM RegisterWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass;
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = 0;
  windowClass.lpfnWndProc = UninstallWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, "waste");
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = WindowClassName;
  windowClass.hIconSm = LoadIconA(instance, "waste");
  return RegisterClassExA(&windowClass);
}

int UninstallMain(HINSTANCE instance, int showCommand) {
  if (!RegisterWindowClass(instance)) return 0;

  // A window that fails to appear only leaves the message boxes ownerless.
  MainWindow = CreateWindowExA(0, WindowClassName, WindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                               CW_USEDEFAULT, PictureWidth, PictureHeight, nullptr, nullptr,
                               instance, nullptr);
  // Loaded before the window is shown, so that the first paint has it.
  BackgroundBitmap = LoadBitmapA(instance, "bkgnd");
  ShowWindow(MainWindow, showCommand);
  UpdateWindow(MainWindow);

  // An unresolved folder stays empty, and the steps that use it skip it.
  ResolvePackagePaths();

  // The box's modal loop is what paints the window while the user decides.
  if (MessageBoxA(MainWindow, ConfirmationText, MessageCaption, MB_OKCANCEL) != IDOK) return 0;
  RunRemovalSteps();
  MessageBoxA(MainWindow, CompletionText, MessageCaption, MB_OK);
  return 0;
}

static void PaintBackground(HWND window) {
  PAINTSTRUCT paint;
  HDC windowContext = BeginPaint(window, &paint);
  HDC pictureContext = CreateCompatibleDC(windowContext);
  SelectObject(pictureContext, BackgroundBitmap);
  // The whole picture: the client area is smaller, so its right and bottom
  // edges are clipped.
  BitBlt(windowContext, 0, 0, PictureWidth, PictureHeight, pictureContext, 0, 0, SRCCOPY);
  EndPaint(window, &paint);
  DeleteDC(pictureContext);
}

LRESULT CALLBACK UninstallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: PaintBackground(window); return 0;
    case WM_DESTROY:
      DeleteObject(BackgroundBitmap);
      BackgroundBitmap = nullptr;
      PostQuitMessage(0);
      return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
  }
}

// The process entry (the linker's -e): there is no C runtime to set up, and
// the command line is not used. The show command is the one the starting
// program asked for, if it asked.
extern "C" void UninstallStart() {
  STARTUPINFOA startup;
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  ExitProcess(static_cast<UINT>(UninstallMain(GetModuleHandleA(nullptr), showCommand)));
}
