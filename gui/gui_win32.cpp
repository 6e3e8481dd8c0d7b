// The backend of gui/backend.h on user32 and gdi32 through the W API. It
// adds: text converted between UTF-8 and UTF-16 here and nowhere else;
// geometry scaled to each monitor's DPI; the choice of font is
// gui_win32_font.cpp's.
#include <windows.h>

#include <commctrl.h>
#undef MessageBox  // ours, not the A/W macro

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend.h"
#include "gui_win32_font.h"

namespace gui {

struct Native {
  Native(backend::Kind k, TControl& c) : kind(k), control(c) {}
  backend::Kind kind;
  TControl& control;
  HWND hwnd = nullptr;
  Native* form = nullptr;  // a control's form; null for a form
  TRect bounds;            // as last set, at 96 PPI
  // A form's look and children:
  std::vector<Native*> children;
  backend::SystemColor color = backend::SystemColor::BtnFace;
  backend::Font font;
  std::vector<std::wstring> texts;
  HFONT hfont = nullptr;
  HWND lastFocus = nullptr;
  backend::Layout layout;
  // A radio group's buttons:
  std::vector<HWND> radios;
};

}  // namespace gui

namespace gui::backend {

namespace {

constexpr wchar_t kFormClass[] = L"ComTesterForm";
constexpr int kFirstControlId = 100;  // clear of IDOK and IDCANCEL, which dialog keys send
constexpr UINT_PTR kSubclassId = 1;
// Where a radio group's buttons sit inside its frame, at 96 PPI.
constexpr int kGroupCaption = 16, kGroupMargin = 8, kGroupBottom = 4;
// A radio button's mark and the gap after it, and what a push button's edge,
// focus rectangle and margin take on each side, at 96 PPI.
constexpr int kCheckMark = 13, kCheckGap = 6, kButtonEdge = 6;
// The edit control measures the rest of a paragraph again for each line it
// wraps: a long paragraph costs the square of its length, whatever the
// word-break procedure (a megabyte took hours under Wine). A memo holding a
// paragraph longer than this scrolls sideways instead of wrapping, at a cost
// in proportion to the length; one with shorter paragraphs only wraps again.
constexpr std::size_t kLongestWrappedParagraph = 2048;
// The text a memo's new control keeps for Ctrl+Z to bring back: a wrapping
// one lays it out once more, at that same square, so only while it is short.
constexpr std::size_t kLongestUndoInWrapped = 2 * kLongestWrappedParagraph;
constexpr DWORD kNoWrapStyle = ES_AUTOHSCROLL | WS_HSCROLL;  // fixed once an edit control exists
constexpr UINT kDestroyRetired =
    WM_APP + 1;  // a form's: DestroyWindow(lParam), a control it replaced

HWND mainForm = nullptr;
std::exception_ptr escaped;  // what a window procedure caught, rethrown by Run
int nextControlId = kFirstControlId;

// --- text ---

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

// --- DPI ---

// Looked up at run time: Windows before 10 (1607) has neither.
template <class Function>
Function User32(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT Dpi(HWND hwnd) {
  static const auto getDpiForWindow = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (getDpiForWindow && hwnd) return getDpiForWindow(hwnd);
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return static_cast<UINT>(dpi);
}

int Scale(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }
int Unscale(int value, UINT dpi) { return MulDiv(value, 96, static_cast<int>(dpi)); }

// The window's size around a client area of `width` by `height` pixels.
SIZE AroundClient(HWND hwnd, int width, int height, UINT dpi) {
  using Adjust = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = User32<Adjust>("AdjustWindowRectExForDpi");
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  RECT r{0, 0, width, height};
  if (adjustForDpi)
    adjustForDpi(&r, style, FALSE, exStyle, dpi);
  else
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
  return {r.right - r.left, r.bottom - r.top};
}

// An edit control breaks lines only at CR LF: a lone CR or LF would join two
// lines on screen where the Qt backend shows two.
std::wstring WithCrLf(const wchar_t* text) {
  std::wstring out;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c == L'\r' || *c == L'\n') {
      out += L"\r\n";
      if (*c == L'\r' && c[1] == L'\n') ++c;
    } else {
      out += *c;
    }
  }
  return out;
}

bool HasLongParagraph(std::wstring_view text) {
  std::size_t run = 0;
  for (wchar_t c : text)
    if ((run = c == L'\r' || c == L'\n' ? 0 : run + 1) > kLongestWrappedParagraph) return true;
  return false;
}

bool Wraps(HWND memo) { return !(GetWindowLongPtrW(memo, GWL_STYLE) & ES_AUTOHSCROLL); }

std::wstring ClipboardText(HWND owner) {
  std::wstring text;
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(owner)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT))
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  CloseClipboard();
  return text;
}

// --- helpers ---

Native* NativeOf(HWND hwnd) {
  return reinterpret_cast<Native*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

int SysColorIndex(SystemColor color) {
  return color == SystemColor::BtnFace ? COLOR_BTNFACE : COLOR_WINDOWTEXT;
}

void Place(HWND hwnd, const TRect& r, UINT dpi) {
  SetWindowPos(hwnd, nullptr, Scale(r.Left, dpi), Scale(r.Top, dpi), Scale(r.Width, dpi),
               Scale(r.Height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

// The buttons share the frame's height below its caption, one row each.
void LayOutRadios(Native* group, UINT dpi) {
  const int n = static_cast<int>(group->radios.size());
  if (n == 0) return;
  const int width = std::max(0, group->bounds.Width - 2 * kGroupMargin);
  const int room = std::max(0, group->bounds.Height - kGroupCaption - kGroupBottom);
  for (int i = 0; i < n; ++i) {
    const int top = kGroupCaption + room * i / n;
    const int bottom = kGroupCaption + room * (i + 1) / n;
    Place(group->radios[static_cast<std::size_t>(i)], {kGroupMargin, top, width, bottom - top},
          dpi);
  }
}

void PlaceControl(Native* native, UINT dpi) {
  Place(native->hwnd, native->bounds, dpi);
  if (native->kind == Kind::RadioGroup) LayOutRadios(native, dpi);
}

void SetFontOn(Native* native, HFONT font) {
  SendMessageW(native->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  for (HWND radio : native->radios)
    SendMessageW(radio, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void ApplyFont(Native* form, UINT dpi) {
  HFONT font = PickFont(Wide(form->font.name), Scale(form->font.height, dpi), form->texts);
  SendMessageW(form->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  for (Native* child : form->children) SetFontOn(child, font);
  if (form->hfont) DeleteObject(form->hfont);
  form->hfont = font;
}

// --- window procedures ---

LRESULT CALLBACK ControlProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

// `hwnd` becomes `native`'s control: found by NativeOf, handled by ControlProc.
void Attach(Native* native, HWND hwnd) {
  native->hwnd = hwnd;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(native));
  SetWindowSubclass(hwnd, ControlProc, kSubclassId, reinterpret_cast<DWORD_PTR>(native));
}

// Puts a memo that wraps, or one that scrolls sideways, in the place of
// `memo`'s control, holding `text`: same place, style, font, tab and label
// order, focus and, when asked (a user's edit), selection and what Ctrl+Z
// would bring back. The replaced control goes once its message in hand is
// done. False when no control could be made: the old stays.
bool Rewrap(Native* memo, bool wraps, const std::wstring& text, bool keepSelection) {
  HWND old = memo->hwnd;
  HWND parent = GetParent(old);
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(old, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(old, GWL_EXSTYLE));
  const DWORD newStyle = (style & ~kNoWrapStyle) | (wraps ? 0 : kNoWrapStyle);
  const auto id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(GetDlgCtrlID(old)));
  HWND hwnd = CreateWindowExW(exStyle, L"EDIT", L"", newStyle, 0, 0, 0, 0, parent, id,
                              GetModuleHandleW(nullptr), nullptr);
  if (!hwnd) return false;
  SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
  SendMessageW(hwnd, WM_SETFONT, SendMessageW(old, WM_GETFONT, 0, 0), FALSE);
  DWORD start = 0, end = 0;
  SendMessageW(old, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  RemoveWindowSubclass(old, ControlProc, kSubclassId);
  SetWindowLongPtrW(old, GWLP_USERDATA, 0);  // its changes below are no memo's
  // The old control's undo shows the text before its last edit: the new one
  // starts from that and is edited to `text` undoably.
  const bool undoable =
      keepSelection && SendMessageW(old, EM_CANUNDO, 0, 0) && SendMessageW(old, EM_UNDO, 0, 0);
  const std::wstring before = undoable ? WindowText(old) : std::wstring();
  if (undoable && (!wraps || before.size() <= kLongestUndoInWrapped)) {
    SetWindowTextW(hwnd, before.c_str());
    SendMessageW(hwnd, EM_SETSEL, 0, -1);
    SendMessageW(hwnd, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
  } else {
    SetWindowTextW(hwnd, text.c_str());
  }
  if (keepSelection) SendMessageW(hwnd, EM_SETSEL, start, end);
  Attach(memo, hwnd);
  PlaceControl(memo, Dpi(hwnd));
  SetWindowPos(hwnd, old, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);  // tab and label order
  if (GetFocus() == old) SetFocus(hwnd);
  if (memo->form && memo->form->lastFocus == old) memo->form->lastFocus = hwnd;
  ShowWindow(old, SW_HIDE);
  PostMessageW(parent, kDestroyRetired, 0, reinterpret_cast<LPARAM>(old));
  return true;
}

// A Button's click, delivered to its TButton; a memo's change, which may
// have made or ended a long paragraph.
void Command(HWND from, WORD code) {
  Native* native = from ? NativeOf(from) : nullptr;
  if (!native) return;
  if (code == BN_CLICKED && native->kind == Kind::Button)
    static_cast<TButton&>(native->control).Click();
  if (code == EN_CHANGE && native->kind == Kind::Memo) {
    const std::wstring text = WindowText(from);
    const bool wraps = !HasLongParagraph(text);
    if (wraps != Wraps(from)) Rewrap(native, wraps, text, true);
  }
}

LRESULT FormMessage(Native* form, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      Command(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case kDestroyRetired:
      if (IsChild(hwnd, reinterpret_cast<HWND>(lParam)) &&
          !NativeOf(reinterpret_cast<HWND>(lParam)))
        DestroyWindow(reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(SysColorIndex(form->font.color)));
      SetBkColor(dc, GetSysColor(SysColorIndex(form->color)));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(SysColorIndex(form->color)));
    }
    case DM_GETDEFID: {
      // IsDialogMessage asks this on Enter, unless the focused button already
      // looks the default one; without an answer it sends a bare IDOK, which
      // names no button. Not a dialog: the focused push button is the default.
      HWND focus = GetFocus();
      const Native* focused = focus && IsChild(hwnd, focus) ? NativeOf(focus) : nullptr;
      return focused && focused->kind == Kind::Button
                 ? MAKELRESULT(GetDlgCtrlID(focus), DC_HASDEFID)
                 : 0;
    }
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, GetSysColorBrush(SysColorIndex(form->color)));
      return 1;
    }
    case WM_ACTIVATE:
      // Not a dialog: keep the focused control across deactivation ourselves.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd, focus)) form->lastFocus = focus;
      }
      break;
    case WM_SETFOCUS: {
      HWND target = form->lastFocus && IsWindow(form->lastFocus)
                        ? form->lastFocus
                        : GetNextDlgTabItem(hwnd, nullptr, FALSE);
      if (target) SetFocus(target);
      return 0;
    }
    case WM_SIZE:
      if (form->layout.place && wParam != SIZE_MINIMIZED) {
        const UINT dpi = Dpi(hwnd);
        form->layout.place({Unscale(LOWORD(lParam), dpi), Unscale(HIWORD(lParam), dpi)});
      }
      break;
    case WM_GETMINMAXINFO:
      if (form->layout.place) {
        const UINT dpi = Dpi(hwnd);
        const TSize least = form->layout.minimum;
        const SIZE around =
            AroundClient(hwnd, Scale(least.Width, dpi), Scale(least.Height, dpi), dpi);
        // Below the layout's least, the window still takes no more than the
        // work area: what does not fit is cut.
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
        const RECT& work = monitor.rcWork;
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {
            std::min(around.cx, work.right - work.left),
            std::min(around.cy, work.bottom - work.top)};
        return 0;
      }
      break;
    case WM_DPICHANGED: {
      const UINT dpi = HIWORD(wParam);
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      for (Native* child : form->children) PlaceControl(child, dpi);
      ApplyFont(form, dpi);
      return 0;
    }
    case WM_DESTROY:
      if (hwnd == mainForm) PostQuitMessage(0);
      break;
    case WM_NCDESTROY:
      form->hwnd = nullptr;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// C++ exceptions must not unwind through user32: keep one for Run to rethrow.
LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    if (Native* form = NativeOf(hwnd)) return FormMessage(form, hwnd, message, wParam, lParam);
  } catch (...) {
    if (!escaped) escaped = std::current_exception();
    PostQuitMessage(1);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Every control: forget the window when it goes; memos: Tab leaves them,
// Ctrl+A selects all and any line break shows as one; a group's buttons get
// the form's colours; a push button looks the default one while focused.
LRESULT CALLBACK ControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR data) {
  auto* native = reinterpret_cast<Native*>(data);
  switch (message) {
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      // Drawn as the default button while it is the one Enter presses.
      if (native->kind == Kind::Button)
        SendMessageW(hwnd, BM_SETSTYLE, message == WM_SETFOCUS ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON,
                     TRUE);
      break;
    case WM_SETTEXT:
      if (native->kind == Kind::Memo && lParam) {
        const std::wstring text = WithCrLf(reinterpret_cast<const wchar_t*>(lParam));
        const bool wraps = !HasLongParagraph(text);
        if (wraps != Wraps(hwnd) && Rewrap(native, wraps, text, false)) return TRUE;
        return DefSubclassProc(hwnd, message, wParam, reinterpret_cast<LPARAM>(text.c_str()));
      }
      break;
    case WM_GETDLGCODE: {
      LRESULT code = DefSubclassProc(hwnd, message, wParam, lParam);
      const auto* msg = reinterpret_cast<const MSG*>(lParam);
      if (native->kind == Kind::Memo && msg && msg->message == WM_KEYDOWN && msg->wParam == VK_TAB)
        code &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
      return code;
    }
    case WM_KEYDOWN:
      if (native->kind == Kind::Memo && wParam == 'A' && GetKeyState(VK_CONTROL) < 0 &&
          GetKeyState(VK_MENU) >= 0) {
        SendMessageW(hwnd, EM_SETSEL, 0, -1);
        return 0;
      }
      break;
    case WM_CHAR:
      if (native->kind == Kind::Memo && wParam == 0x01) return 0;  // Ctrl+A's character: no beep
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      if (native->kind == Kind::RadioGroup && native->form && native->form->hwnd)
        return SendMessageW(native->form->hwnd, message, wParam, lParam);
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, ControlProc, kSubclassId);
      native->hwnd = nullptr;
      native->radios.clear();
      break;
    case WM_PASTE:
      // Decided before the text goes in: the wrapping control would take it in
      // at the square of a long paragraph's length.
      if (native->kind == Kind::Memo && Wraps(hwnd) && HasLongParagraph(ClipboardText(hwnd)) &&
          Rewrap(native, false, WindowText(hwnd), true))
        return SendMessageW(native->hwnd, WM_PASTE, 0, 0);
      break;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

void RegisterFormClass() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = FormProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kFormClass;
  if (!RegisterClassExW(&wc)) throw Exception("cannot register the form's window class");
  registered = true;
}

HWND CreateChild(const wchar_t* cls, DWORD style, DWORD exStyle, HWND parent,
                 const std::wstring& text = {}) {
  HWND hwnd =
      CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(nextControlId++)),
                      GetModuleHandleW(nullptr), nullptr);
  if (!hwnd) throw Exception("cannot create a control");
  return hwnd;
}

}  // namespace

// --- the backend ---

void Initialize() {
  // The manifest asks for per-monitor awareness; this covers a build without it.
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto setContext = User32<SetContext>("SetProcessDpiAwarenessContext"))
    setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  else if (auto setAware = User32<BOOL(WINAPI*)()>("SetProcessDPIAware"))
    setAware();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
}

Native* Create(Kind kind, TControl& control, Native* parent) {
  auto* native = new Native(kind, control);
  try {
    if (kind == Kind::Form) {
      RegisterFormClass();
      // An ordinary sizeable window: the controls follow its layout.
      native->hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, L"", WS_OVERLAPPEDWINDOW,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), native);
      if (!native->hwnd) throw Exception("cannot create a window");
      return native;
    }
    if (!parent || parent->kind != Kind::Form) throw Exception("a control needs a form");
    HWND owner = parent->hwnd;
    switch (kind) {
      case Kind::Button:
        native->hwnd = CreateChild(L"BUTTON", BS_PUSHBUTTON, 0, owner);
        break;
      case Kind::Label:
        native->hwnd = CreateChild(L"STATIC", SS_LEFT, 0, owner);
        break;
      case Kind::Memo:
        native->hwnd =
            CreateChild(L"EDIT", ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL,
                        WS_EX_CLIENTEDGE, owner);
        // As much as the user types or pastes, not the control's 30,000 characters.
        SendMessageW(native->hwnd, EM_SETLIMITTEXT, 0, 0);
        break;
      case Kind::RadioGroup:
        // The buttons are its children: dialog navigation enters it for them.
        native->hwnd =
            CreateChild(L"BUTTON", BS_GROUPBOX | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, owner);
        break;
      case Kind::Form:
        break;
    }
    Attach(native, native->hwnd);
    native->form = parent;
    parent->children.push_back(native);
    if (parent->hfont) SetFontOn(native, parent->hfont);
    return native;
  } catch (...) {
    if (native->hwnd) DestroyWindow(native->hwnd);
    delete native;
    throw;
  }
}

void Destroy(Native* native) {
  if (!native) return;
  if (native->form) std::erase(native->form->children, native);
  for (Native* child : native->children) child->form = nullptr;  // the form may go first
  if (native->hwnd) DestroyWindow(native->hwnd);
  if (native->hfont) DeleteObject(native->hfont);
  delete native;
}

void SetBounds(Native* native, const TRect& bounds) {
  native->bounds = bounds;
  if (native->kind == Kind::Form) {
    // The whole window, within its monitor's work area.
    const UINT dpi = Dpi(native->hwnd);
    const TRect wanted{Scale(bounds.Left, dpi), Scale(bounds.Top, dpi), Scale(bounds.Width, dpi),
                       Scale(bounds.Height, dpi)};
    const RECT at{wanted.Left, wanted.Top, wanted.Left + wanted.Width, wanted.Top + wanted.Height};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromRect(&at, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    const TRect r =
        FitInto(wanted, {work.left, work.top, work.right - work.left, work.bottom - work.top});
    SetWindowPos(native->hwnd, nullptr, r.Left, r.Top, r.Width, r.Height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  PlaceControl(native, Dpi(native->hwnd));
}

TRect Bounds(Native* native) {
  RECT r;
  GetWindowRect(native->hwnd, &r);
  if (native->kind != Kind::Form)
    MapWindowPoints(nullptr, GetParent(native->hwnd), reinterpret_cast<POINT*>(&r), 2);
  const UINT dpi = Dpi(native->hwnd);
  // The bounds as set while the window still has them: no rounding drift.
  const TRect& b = native->bounds;
  if (Scale(b.Left, dpi) == r.left && Scale(b.Top, dpi) == r.top &&
      Scale(b.Width, dpi) == r.right - r.left && Scale(b.Height, dpi) == r.bottom - r.top)
    return b;
  return {Unscale(r.left, dpi), Unscale(r.top, dpi), Unscale(r.right - r.left, dpi),
          Unscale(r.bottom - r.top, dpi)};
}

void SetText(Native* native, const std::string& utf8) {
  SetWindowTextW(native->hwnd, Wide(utf8).c_str());
}

std::string Text(Native* native) { return Narrow(WindowText(native->hwnd)); }

void SetItems(Native* group, const std::vector<std::string>& items) {
  for (HWND radio : group->radios) DestroyWindow(radio);
  group->radios.clear();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const DWORD style = BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0);
    HWND radio = CreateChild(L"BUTTON", style, 0, group->hwnd, Wide(items[i]));
    group->radios.push_back(radio);
    if (group->form && group->form->hfont)
      SendMessageW(radio, WM_SETFONT, reinterpret_cast<WPARAM>(group->form->hfont), FALSE);
  }
  LayOutRadios(group, Dpi(group->hwnd));
}

std::vector<std::string> Items(Native* group) {
  std::vector<std::string> items;
  for (HWND radio : group->radios) items.push_back(Narrow(WindowText(radio)));
  return items;
}

int ItemIndex(Native* group) {
  for (std::size_t i = 0; i < group->radios.size(); ++i)
    if (SendMessageW(group->radios[i], BM_GETCHECK, 0, 0) == BST_CHECKED)
      return static_cast<int>(i);
  return -1;
}

void SetItemIndex(Native* group, int index) {
  for (std::size_t i = 0; i < group->radios.size(); ++i)
    SendMessageW(group->radios[i], BM_SETCHECK,
                 static_cast<int>(i) == index ? BST_CHECKED : BST_UNCHECKED, 0);
}

void SetFormStyle(Native* form, SystemColor color, const Font& font,
                  const std::vector<std::string>& texts) {
  form->color = color;
  form->font = font;
  form->texts.clear();
  for (const std::string& text : texts) form->texts.push_back(Wide(text));
  ApplyFont(form, Dpi(form->hwnd));
  InvalidateRect(form->hwnd, nullptr, TRUE);
}

int MemoHeight(Native* memo, int lines) {
  HDC dc = GetDC(memo->hwnd);
  HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(memo->hwnd, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(memo->hwnd, dc);
  const UINT dpi = Dpi(memo->hwnd);
  // The client edge on each side, and a pixel of the text's own margin.
  const int pixels =
      lines * metrics.tmHeight + 2 * (GetSystemMetrics(SM_CYEDGE) * static_cast<int>(dpi) / 96 + 1);
  return (pixels * 96 + static_cast<int>(dpi) - 1) / static_cast<int>(dpi);
}

TSize LeastSize(Native* native) {
  if (native->kind != Kind::Button && native->kind != Kind::RadioGroup) return {};
  HWND hwnd = native->hwnd;
  const UINT dpi = Dpi(hwnd);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  // A text's extent in the control's font, at 96 PPI rounded up.
  auto extent = [&](const std::wstring& text) {
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    const auto up = [&](LONG v) {
      return (static_cast<int>(v) * 96 + static_cast<int>(dpi) - 1) / static_cast<int>(dpi);
    };
    return TSize{up(size.cx), up(size.cy)};
  };
  TSize least;
  if (native->kind == Kind::Button) {
    // The frame, the focus rectangle and a pixel clear of it, each side.
    const TSize text = extent(WindowText(hwnd));
    least = {text.Width + 2 * kButtonEdge, text.Height + 2 * kButtonEdge};
  } else {
    // The caption as the frame draws it; each button, its check mark and
    // its text, in a row of its own between the margins.
    least = {extent(WindowText(hwnd)).Width + 2 * kGroupMargin, kGroupCaption + kGroupBottom};
    for (HWND radio : native->radios) {
      const TSize text = extent(WindowText(radio));
      least.Width = std::max(least.Width, 2 * kGroupMargin + kCheckMark + kCheckGap + text.Width);
      least.Height += std::max(text.Height, kCheckMark) + 2;
    }
  }
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return least;
}

void SetLayout(Native* form, const Layout& layout) {
  form->layout = layout;
  RECT client;
  GetClientRect(form->hwnd, &client);
  const UINT dpi = Dpi(form->hwnd);
  if (client.right > 0 && client.bottom > 0)
    form->layout.place({Unscale(client.right, dpi), Unscale(client.bottom, dpi)});
}

void SetTabOrder(Native* form, const std::vector<Native*>& order) {
  // Dialog navigation follows z-order: stack the controls in `order`, first on top.
  HWND after = HWND_TOP;
  for (Native* native : order) {
    if (native->kind != Kind::Label && native->kind != Kind::RadioGroup) {
      const LONG_PTR style = GetWindowLongPtrW(native->hwnd, GWL_STYLE);
      SetWindowLongPtrW(native->hwnd, GWL_STYLE, style | WS_TABSTOP | WS_GROUP);
    }
    SetWindowPos(native->hwnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    after = native->hwnd;
  }
  for (Native* child : form->children)
    if (std::find(order.begin(), order.end(), child) == order.end()) {
      const LONG_PTR style = GetWindowLongPtrW(child->hwnd, GWL_STYLE);
      SetWindowLongPtrW(child->hwnd, GWL_STYLE, style & ~WS_TABSTOP);
    }
}

// The system's accessibility names an edit control by the static text that
// stands immediately before it in the child order. A label takes no focus,
// so moving it changes nothing Tab does.
void SetLabelFor(Native* label, Native* control) {
  HWND before = GetWindow(control->hwnd, GW_HWNDPREV);
  if (before == label->hwnd) return;
  SetWindowPos(label->hwnd, before ? before : HWND_TOP, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void SetIcon(Native* form, const std::string& resource) {
  const std::wstring name = Wide(resource);
  for (auto [which, metric] :
       {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
    const int size = GetSystemMetrics(metric);
    HANDLE icon =
        LoadImageW(GetModuleHandleW(nullptr), name.c_str(), IMAGE_ICON, size, size, LR_SHARED);
    if (!icon) throw Exception("no icon " + resource + " in the program");
    SendMessageW(form->hwnd, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
  }
}

void Show(Native* form) {
  ShowWindow(form->hwnd, SW_SHOW);
  UpdateWindow(form->hwnd);
}

void Run(Native* mainFormNative) {
  mainForm = mainFormNative->hwnd;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (mainForm && IsWindow(mainForm) && IsDialogMessageW(mainForm, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  mainForm = nullptr;
  if (escaped) std::rethrow_exception(std::exchange(escaped, nullptr));
}

void Quit() { PostQuitMessage(0); }

void MessageBox(const std::string& utf8Text, const std::string& caption, bool error) {
  MessageBoxW(nullptr, Wide(utf8Text).c_str(), Wide(caption).c_str(),
              MB_OK | (error ? MB_ICONERROR : 0));
}

std::string LoadResource(const std::string& name) {
  HRSRC found = FindResourceW(nullptr, Wide(name).c_str(), RT_RCDATA);
  HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) throw Exception("no resource " + name + " in the program");
  return std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

std::string ProgramName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (const auto dot = name.find_last_of(L'.'); dot != std::wstring::npos) name.resize(dot);
  return Narrow(name);
}

}  // namespace gui::backend

// A GUI program has no console for the runtime's default terminate handler to
// print a demangled type name to; abort directly and leave the demangler, a
// sixth of the program, out of the executable.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
