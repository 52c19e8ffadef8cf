// Window classes, windows, painting, message boxes and messages, and the
// font and keyboard-layout calls whose effects reach outside the program.
#include "state.h"

#include <algorithm>

namespace win32stub::detail {

namespace {

template <typename H>
H MakeHandle(std::uintptr_t value) {
  return reinterpret_cast<H>(value);
}
std::uintptr_t Raw(const void* handle) { return reinterpret_cast<std::uintptr_t>(handle); }

// Stock objects (brushes, the default bitmap of a new DC) need no release.
constexpr std::uintptr_t StockBase = 0x8000;
bool IsStock(std::uintptr_t handle) { return handle >= StockBase && handle < StockBase + 0x100; }
const std::uintptr_t DefaultBitmap = StockBase + 0xFF;

Window* FindWindow(HWND handle) {
  for (Window& window : S().windows)
    if (window.handle == handle) return &window;
  return nullptr;
}

// Modal loops and UpdateWindow hand pending paints to the window procedure.
void PaintPending() {
  for (std::size_t i = 0; i < S().windows.size(); ++i) {
    Window& window = S().windows[i];
    if (window.visible && window.needsPaint) {
      window.needsPaint = false;
      Deliver(window, WM_PAINT, 0, 0);
    }
  }
}

std::string ResourceName(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return "#" + std::to_string(Raw(name));
  return Upper(name);
}

}  // namespace

LRESULT Deliver(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  return window.procedure(window.handle, message, wParam, lParam);
}

}  // namespace win32stub::detail

namespace win32stub {
using namespace detail;

void QueueMessageBoxAnswer(int answer) { S().answers.push_back(answer); }
void FailClassRegistration() { S().failClassRegistration = true; }
void FailWindowCreation() { S().failWindowCreation = true; }
void SetDefaultWindowProcResult(LRESULT result) { S().defaultWindowProcResult = result; }

std::vector<HWND> Windows() {
  std::vector<HWND> handles;
  for (const Window& window : S().windows) handles.push_back(window.handle);
  return handles;
}

int LiveGdiObjectCount() { return static_cast<int>(S().bitmaps.size() + S().dcs.size()); }

}  // namespace win32stub

using namespace win32stub::detail;
using win32stub::Number;

extern "C" {

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* c) {
  ATOM atom = 0;
  auto sameName = [&](const WindowClass& known) {
    return EqualNoCase(known.name, c->lpszClassName);
  };
  if (S().failClassRegistration || c->cbSize != sizeof(WNDCLASSEXA) || !c->lpfnWndProc ||
      IS_INTRESOURCE(c->lpszClassName)) {
    Fail(ERROR_INVALID_PARAMETER);
  } else if (std::any_of(S().classes.begin(), S().classes.end(), sameName)) {
    Fail(ERROR_CLASS_ALREADY_EXISTS);
  } else {
    S().classes.push_back(WindowClass{c->lpszClassName, c->lpfnWndProc});
    atom = static_cast<ATOM>(0xC000 + S().classes.size());
  }
  Log("RegisterClassExA",
      {Num(c->cbSize), Num(c->style), Handle(reinterpret_cast<const void*>(c->lpfnWndProc)),
       Num(c->cbClsExtra), Num(c->cbWndExtra), Handle(c->hInstance), Handle(c->hIcon),
       Handle(c->hCursor), Handle(c->hbrBackground), Text(c->lpszMenuName), Text(c->lpszClassName),
       Handle(c->hIconSm)},
      atom);
  return atom;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  HWND handle = nullptr;
  auto known = std::find_if(S().classes.begin(), S().classes.end(), [&](const WindowClass& c) {
    return !IS_INTRESOURCE(className) && EqualNoCase(c.name, className);
  });
  if (known == S().classes.end()) {
    Fail(ERROR_CANNOT_FIND_WND_CLASS);
  } else if (S().failWindowCreation) {
    Fail(ERROR_ACCESS_DENIED);
  } else {
    handle = MakeHandle<HWND>(NewHandle());
    S().windows.push_back(Window{handle, known->procedure});
  }
  Log("CreateWindowExA",
      {Num(exStyle), Text(className), Text(windowName), Num(style), Num(x), Num(y), Num(width),
       Num(height), Handle(parent), Handle(menu), Handle(instance), Handle(param)},
      Number(handle));
  return handle;
}

BOOL WINAPI ShowWindow(HWND handle, int showCommand) {
  Window* window = FindWindow(handle);
  BOOL wasVisible = window && window->visible;
  if (window && showCommand != SW_HIDE && !window->visible) {
    window->visible = true;
    window->needsPaint = true;
  } else if (window && showCommand == SW_HIDE) {
    window->visible = false;
  }
  Log("ShowWindow", {Handle(handle), Num(showCommand)}, wasVisible);
  return wasVisible;
}

BOOL WINAPI UpdateWindow(HWND handle) {
  Window* window = FindWindow(handle);
  Log("UpdateWindow", {Handle(handle)}, window != nullptr);
  if (!window) return FALSE;
  if (window->visible && window->needsPaint) {
    window->needsPaint = false;
    Deliver(*window, WM_PAINT, 0, 0);
  }
  return TRUE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Log("DefWindowProcA",
      {Handle(window), Num(message), Num(static_cast<long long>(wParam)), Num(lParam)},
      S().defaultWindowProcResult);
  return S().defaultWindowProcResult;
}

void WINAPI PostQuitMessage(int exitCode) { Log("PostQuitMessage", {Num(exitCode)}, 0); }

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
  bool found = instance ? instance == win32stub::ModuleInstance() && ResourceName(name) == "WASTE"
                        : IS_INTRESOURCE(name);
  HICON icon = found ? MakeHandle<HICON>(NewHandle()) : nullptr;
  if (!found) Fail(ERROR_FILE_NOT_FOUND);
  Log("LoadIconA", {Handle(instance), Text(name)}, Number(icon));
  return icon;
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
  bool found = !instance && IS_INTRESOURCE(name);
  HCURSOR cursor = found ? MakeHandle<HCURSOR>(NewHandle()) : nullptr;
  if (!found) Fail(ERROR_FILE_NOT_FOUND);
  Log("LoadCursorA", {Handle(instance), Text(name)}, Number(cursor));
  return cursor;
}

HBITMAP WINAPI LoadBitmapA(HINSTANCE instance, LPCSTR name) {
  HBITMAP bitmap = nullptr;
  if (instance == win32stub::ModuleInstance() && ResourceName(name) == "BKGND") {
    bitmap = MakeHandle<HBITMAP>(NewHandle());
    S().bitmaps.insert(Raw(bitmap));
  } else {
    Fail(ERROR_FILE_NOT_FOUND);
  }
  Log("LoadBitmapA", {Handle(instance), Text(name)}, Number(bitmap));
  return bitmap;
}

HDC WINAPI BeginPaint(HWND handle, PAINTSTRUCT* paint) {
  Window* window = FindWindow(handle);
  HDC dc = nullptr;
  if (window) {
    window->needsPaint = false;
    dc = MakeHandle<HDC>(NewHandle());
    S().dcs[Raw(dc)] = DefaultBitmap;
    *paint = PAINTSTRUCT{};
    paint->hdc = dc;
    paint->rcPaint = RECT{0, 0, 624, 442};  // the client area of a 640 x 480 window
  }
  Log("BeginPaint", {Handle(handle)}, Number(dc));
  return dc;
}

BOOL WINAPI EndPaint(HWND handle, const PAINTSTRUCT* paint) {
  BOOL ended = FindWindow(handle) && S().dcs.erase(Raw(paint->hdc));
  Log("EndPaint", {Handle(handle), Handle(paint->hdc)}, ended);
  return ended;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  PaintPending();
  int answer = IDOK;
  if (!S().answers.empty()) {
    answer = S().answers.front();
    S().answers.erase(S().answers.begin());
  }
  Log("MessageBoxA", {Handle(owner), Text(text), Text(caption), Num(type)}, answer);
  return answer;
}

LRESULT WINAPI SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  Log("SendMessageA",
      {Handle(handle), Num(message), Num(static_cast<long long>(wParam)), Num(lParam)}, 0);
  if (handle == HWND_BROADCAST) {
    for (std::size_t i = 0; i < S().windows.size(); ++i)
      Deliver(S().windows[i], message, wParam, lParam);
    return TRUE;
  }
  Window* window = FindWindow(handle);
  return window ? Deliver(*window, message, wParam, lParam) : 0;
}

LRESULT WINAPI SendMessageTimeoutA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT flags, UINT timeout, PDWORD_PTR result) {
  Log("SendMessageTimeoutA",
      {Handle(handle), Num(message), Num(static_cast<long long>(wParam)), Num(lParam), Num(flags),
       Num(timeout)},
      TRUE);
  LRESULT answer = 0;
  if (handle == HWND_BROADCAST) {
    for (std::size_t i = 0; i < S().windows.size(); ++i)
      Deliver(S().windows[i], message, wParam, lParam);
  } else if (Window* window = FindWindow(handle)) {
    answer = Deliver(*window, message, wParam, lParam);
  }
  if (result) *result = static_cast<DWORD_PTR>(answer);
  return TRUE;
}

HKL WINAPI LoadKeyboardLayoutA(LPCSTR layoutId, UINT flags) {
  HKL layout = MakeHandle<HKL>(NewHandle());
  Log("LoadKeyboardLayoutA", {Text(layoutId), Num(flags)}, Number(layout));
  return layout;
}

HGDIOBJ WINAPI GetStockObject(int object) {
  HGDIOBJ stock = object >= 0 && object < 0xFF ? MakeHandle<HGDIOBJ>(StockBase + object) : nullptr;
  Log("GetStockObject", {Num(object)}, Number(stock));
  return stock;
}

HDC WINAPI CreateCompatibleDC(HDC dc) {
  HDC memory = MakeHandle<HDC>(NewHandle());
  S().dcs[Raw(memory)] = DefaultBitmap;
  Log("CreateCompatibleDC", {Handle(dc)}, Number(memory));
  return memory;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
  HGDIOBJ previous = nullptr;
  auto found = S().dcs.find(Raw(dc));
  if (found != S().dcs.end() && (S().bitmaps.count(Raw(object)) || IsStock(Raw(object)))) {
    previous = MakeHandle<HGDIOBJ>(found->second);
    found->second = Raw(object);
  }
  Log("SelectObject", {Handle(dc), Handle(object)}, Number(previous));
  return previous;
}

// Logged with one argument more than the call has: the bitmap selected into
// the source context at the time, i.e. the picture that was copied.
BOOL WINAPI BitBlt(HDC destination, int x, int y, int width, int height, HDC source, int sourceX,
                   int sourceY, DWORD rop) {
  auto dest = S().dcs.find(Raw(destination));
  auto from = S().dcs.find(Raw(source));
  BOOL done = dest != S().dcs.end() && from != S().dcs.end();
  long long picture = done ? static_cast<long long>(from->second) : 0;
  Log("BitBlt",
      {Handle(destination), Num(x), Num(y), Num(width), Num(height), Handle(source), Num(sourceX),
       Num(sourceY), Num(rop), Num(picture)},
      done);
  return done;
}

BOOL WINAPI DeleteDC(HDC dc) {
  BOOL deleted = S().dcs.erase(Raw(dc)) ? TRUE : FALSE;
  Log("DeleteDC", {Handle(dc)}, deleted);
  return deleted;
}

BOOL WINAPI DeleteObject(HGDIOBJ object) {
  std::uintptr_t raw = Raw(object);
  bool selected =
      std::any_of(S().dcs.begin(), S().dcs.end(), [&](const auto& dc) { return dc.second == raw; });
  // A bitmap still selected into a device context cannot be deleted.
  BOOL deleted = IsStock(raw) || (!selected && S().bitmaps.erase(raw));
  Log("DeleteObject", {Handle(object)}, deleted);
  return deleted;
}

int WINAPI RemoveFontResourceA(LPCSTR fileName) {
  BOOL removed =
      fileName && *fileName && win32stub::Exists(fileName) && !win32stub::IsFolder(fileName);
  Log("RemoveFontResourceA", {Text(fileName)}, removed);
  return removed;
}

}  // extern "C"
