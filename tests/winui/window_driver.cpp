// Drives another program's window from outside, for the window tests under
// wine64: reads one command a line on stdin and answers in UTF-8 lines, the
// last of each answer being "ok ...", "end" or "error ...". Geometry is in
// 96-PPI pixels: a window's on the screen with its frame, a control's in the
// client area of its window. Texts are escaped: \\, \r, \n, \t.
//
//   controls CAPTION          one "control CLASS L T W H CHECK TEXT" a child, then "end"
//   window CAPTION            "ok L T W H"
//   client CAPTION            "ok W H" of the window's client area
//   screen CAPTION            "ok L T W H L T W H" in real pixels: the work area of the
//                             window's monitor, then the window with its frame
//   style CAPTION             "ok sizeable maximizable", each word only where it is so
//   maximize CAPTION          maximises the window, then waits as click does
//   resize CAPTION W H        asks for that size of window in real pixels, as a
//                             user dragging its frame does, then waits as click does
//   dpi CAPTION               "ok DPI" of the window
//   wait CAPTION MS           "ok" once a top-level window with that caption shows
//   click CAPTION TEXT        sends BM_CLICK to the button so captioned, then waits
//                             until the program takes messages again
//   gettext CAPTION @X,Y      "ok TEXT" of the shown control whose top left is X,Y
//   settext CAPTION @X,Y TEXT
//   selection CAPTION @X,Y    "ok START END" of an edit's selection
//   lines CAPTION @X,Y        "ok N": the lines an edit shows
//   before CAPTION @X,Y       "ok CLASS L T W H CHECK TEXT" of the sibling just before
//                             the control in the child order, where a screen reader
//                             looks for an edit control's name
//   point CAPTION TEXT        "ok X Y": the middle of the button so captioned, on
//                             the screen in real pixels, for a mouse to click
//   clipboard FILE            puts the UTF-8 text of FILE on the clipboard
//   default CAPTION           "ok TEXT" of each button drawn as the default one
//   focus CAPTION             "ok CLASS L T W H CHECK TEXT" of the program's focus
//   messagebox CAPTION MS     "ok TEXT" of a message box so captioned, once it shows
//   dismiss CAPTION           presses its OK and waits until it has gone
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSyncTimeout = 10000;

std::wstring Wide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  w.resize(static_cast<std::size_t>(MultiByteToWideChar(
      CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), static_cast<int>(w.size()))));
  return w;
}

std::string Narrow(const std::wstring& w) {
  std::string s(w.size() * 4, '\0');
  s.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                          static_cast<int>(s.size()), nullptr, nullptr)));
  return s;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct Failure {
  std::string what;
};

UINT Dpi(HWND hwnd) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpi>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  return getDpi ? getDpi(hwnd) : 96;
}

int At96(int v, UINT dpi) { return MulDiv(v, 96, static_cast<int>(dpi)); }

// Another process's control keeps its text to itself: ask it.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSyncTimeout, &length))
    throw Failure{"no answer to WM_GETTEXTLENGTH"};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, kSyncTimeout, &copied);
  text.resize(copied);
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[256] = {};
  GetClassNameW(hwnd, name, 256);
  return name;
}

bool IsRadio(HWND hwnd) {
  const LONG type = GetWindowLongW(hwnd, GWL_STYLE) & BS_TYPEMASK;
  return ClassOf(hwnd) == L"Button" && (type == BS_AUTORADIOBUTTON || type == BS_RADIOBUTTON);
}

HWND TopLevel(const std::string& caption, const wchar_t* cls = nullptr) {
  HWND hwnd = FindWindowW(cls, Wide(caption).c_str());
  if (!hwnd) throw Failure{"no window " + caption};
  return hwnd;
}

RECT InClient(HWND window, HWND control) {
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
  const UINT dpi = Dpi(window);
  return {At96(r.left, dpi), At96(r.top, dpi), At96(r.right, dpi), At96(r.bottom, dpi)};
}

std::string Describe(HWND window, HWND control) {
  const RECT r = InClient(window, control);
  std::ostringstream line;
  const LRESULT check = SendMessageW(control, BM_GETCHECK, 0, 0);
  line << Narrow(ClassOf(control)) << ' ' << r.left << ' ' << r.top << ' ' << r.right - r.left
       << ' ' << r.bottom - r.top << ' '
       << (IsRadio(control) ? (check == BST_CHECKED ? "checked" : "unchecked") : "-") << ' '
       << Escape(Narrow(TextOf(control)));
  return line.str();
}

BOOL CALLBACK Collect(HWND hwnd, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> Children(HWND window) {
  std::vector<HWND> children;
  EnumChildWindows(window, Collect, reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND ButtonCaptioned(HWND window, const std::string& text) {
  for (HWND child : Children(window))
    if (ClassOf(child) == L"Button" && Narrow(TextOf(child)) == text) return child;
  throw Failure{"no button " + text};
}

HWND ControlAt(HWND window, const std::string& where) {
  int x = 0, y = 0;
  if (std::sscanf(where.c_str(), "@%d,%d", &x, &y) != 2) throw Failure{"bad place " + where};
  for (HWND child : Children(window)) {
    const RECT r = InClient(window, child);
    if (r.left == x && r.top == y && IsWindowVisible(child)) return child;
  }
  throw Failure{"no control shown at " + where};
}

// A visible top-level window with that caption, or null.
HWND ShownWindow(const std::wstring& caption) {
  std::vector<HWND> windows;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  for (HWND hwnd : windows) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    if (IsWindowVisible(hwnd) && caption == text) return hwnd;
  }
  return nullptr;
}

std::string ReadFile(const std::string& path) {
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw Failure{"cannot open " + path};
  std::string bytes;
  char chunk[65536];
  DWORD n = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0) bytes.append(chunk, n);
  CloseHandle(file);
  return bytes;
}

void SetClipboardText(const std::wstring& text) {
  const std::size_t size = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!memory) throw Failure{"no memory for the clipboard"};
  std::memcpy(GlobalLock(memory), text.c_str(), size);
  GlobalUnlock(memory);
  if (!OpenClipboard(nullptr)) {
    GlobalFree(memory);
    throw Failure{"cannot open the clipboard"};
  }
  EmptyClipboard();
  const bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  if (!set) GlobalFree(memory);
  CloseClipboard();
  if (!set) throw Failure{"the clipboard took no text"};
}

// The visible top-level windows, as "CLASS/CAPTION" separated by "; ".
std::string ShownWindows() {
  std::vector<HWND> windows;
  EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
  std::string shown;
  for (HWND hwnd : windows) {
    if (!IsWindowVisible(hwnd)) continue;
    wchar_t caption[256] = {};
    GetWindowTextW(hwnd, caption, 256);
    shown += (shown.empty() ? "" : "; ") + Narrow(ClassOf(hwnd)) + "/" + Escape(Narrow(caption));
  }
  return shown;
}

// Returns once the program's thread takes messages again: after a click's
// handler, or inside the modal loop of a message box it opened.
void Sync(HWND window) {
  DWORD_PTR ignored;
  SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kSyncTimeout, &ignored);
}

template <class Find>
HWND WaitFor(Find find, int ms) {
  for (int waited = 0;; waited += 20) {
    if (HWND hwnd = find()) return hwnd;
    if (waited >= ms) throw Failure{"timed out"};
    Sleep(20);
  }
}

// The first word of `rest`, which loses it; "\ " is a space inside a word.
std::string Word(std::string& rest) {
  std::size_t space = 0;
  while ((space = rest.find(' ', space)) != std::string::npos && space > 0 &&
         rest[space - 1] == '\\')
    ++space;
  std::string word = Unescape(rest.substr(0, space));
  rest = space == std::string::npos ? "" : rest.substr(space + 1);
  return word;
}

void Run(const std::string& command, std::string rest) {
  if (command == "controls") {
    HWND window = TopLevel(Word(rest));
    for (HWND child : Children(window)) Say("control " + Describe(window, child));
    Say("end");
  } else if (command == "window") {
    HWND window = TopLevel(Word(rest));
    RECT r;
    GetWindowRect(window, &r);
    const UINT dpi = Dpi(window);
    Say("ok " + std::to_string(At96(r.left, dpi)) + ' ' + std::to_string(At96(r.top, dpi)) + ' ' +
        std::to_string(At96(r.right - r.left, dpi)) + ' ' +
        std::to_string(At96(r.bottom - r.top, dpi)));
  } else if (command == "client") {
    HWND window = TopLevel(Word(rest));
    RECT r;
    GetClientRect(window, &r);
    const UINT dpi = Dpi(window);
    Say("ok " + std::to_string(At96(r.right, dpi)) + ' ' + std::to_string(At96(r.bottom, dpi)));
  } else if (command == "screen") {
    HWND window = TopLevel(Word(rest));
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    RECT r;
    GetWindowRect(window, &r);
    std::string answer = "ok";
    for (const RECT& at : {monitor.rcWork, r})
      for (LONG v : {at.left, at.top, at.right - at.left, at.bottom - at.top})
        answer += ' ' + std::to_string(v);
    Say(answer);
  } else if (command == "style") {
    const LONG_PTR style = GetWindowLongPtrW(TopLevel(Word(rest)), GWL_STYLE);
    std::string answer = "ok";
    if (style & WS_THICKFRAME) answer += " sizeable";
    if (style & WS_MAXIMIZEBOX) answer += " maximizable";
    Say(answer);
  } else if (command == "maximize") {
    HWND window = TopLevel(Word(rest));
    ShowWindow(window, SW_MAXIMIZE);
    Sync(window);
    Say("ok");
  } else if (command == "resize") {
    HWND window = TopLevel(Word(rest));
    ShowWindow(window, SW_RESTORE);
    const int width = std::stoi(Word(rest));
    const int height = std::stoi(rest);
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Sync(window);
    Say("ok");
  } else if (command == "dpi") {
    Say("ok " + std::to_string(Dpi(TopLevel(Word(rest)))));
  } else if (command == "wait") {
    // Not only there: a program fills in a hidden window before showing it.
    const std::wstring caption = Wide(Word(rest));
    WaitFor([&] { return ShownWindow(caption); }, std::stoi(rest));
    Say("ok");
  } else if (command == "click") {
    HWND window = TopLevel(Word(rest));
    // Not waited for: a handler that opens a message box would hold us. Sent
    // messages keep their order, so Sync returns after the click.
    SendNotifyMessageW(ButtonCaptioned(window, Unescape(rest)), BM_CLICK, 0, 0);
    Sync(window);
    Say("ok");
  } else if (command == "gettext") {
    HWND window = TopLevel(Word(rest));
    Say("ok " + Escape(Narrow(TextOf(ControlAt(window, Word(rest))))));
  } else if (command == "settext") {
    HWND window = TopLevel(Word(rest));
    HWND control = ControlAt(window, Word(rest));
    const std::wstring text = Wide(Unescape(rest));
    DWORD_PTR ignored;
    SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, kSyncTimeout, &ignored);
    Say("ok");
  } else if (command == "selection") {
    HWND window = TopLevel(Word(rest));
    DWORD start = 0, end = 0;
    SendMessageW(ControlAt(window, Word(rest)), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    Say("ok " + std::to_string(start) + ' ' + std::to_string(end));
  } else if (command == "before") {
    HWND window = TopLevel(Word(rest));
    HWND before = GetWindow(ControlAt(window, Word(rest)), GW_HWNDPREV);
    Say(before ? "ok " + Describe(window, before) : "ok none");
  } else if (command == "lines") {
    HWND window = TopLevel(Word(rest));
    DWORD_PTR lines = 0;
    if (!SendMessageTimeoutW(ControlAt(window, Word(rest)), EM_GETLINECOUNT, 0, 0, SMTO_ABORTIFHUNG,
                             kSyncTimeout, &lines))
      throw Failure{"no answer to EM_GETLINECOUNT"};
    Say("ok " + std::to_string(lines));
  } else if (command == "point") {
    HWND window = TopLevel(Word(rest));
    RECT r;
    GetWindowRect(ButtonCaptioned(window, Unescape(rest)), &r);
    Say("ok " + std::to_string((r.left + r.right) / 2) + ' ' +
        std::to_string((r.top + r.bottom) / 2));
  } else if (command == "clipboard") {
    SetClipboardText(Wide(ReadFile(Word(rest))));
    Say("ok");
  } else if (command == "default") {
    std::string drawn;
    for (HWND child : Children(TopLevel(Word(rest))))
      if (ClassOf(child) == L"Button" &&
          (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
        drawn += ' ' + Escape(Narrow(TextOf(child)));
    Say("ok" + drawn);
  } else if (command == "focus") {
    HWND window = TopLevel(Word(rest));
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info))
      throw Failure{"no thread info"};
    if (!info.hwndFocus) throw Failure{"nothing has the focus"};
    Say("ok " + Describe(window, info.hwndFocus));
  } else if (command == "messagebox") {
    const std::wstring caption = Wide(Word(rest));
    HWND box = nullptr;
    try {
      box = WaitFor([&] { return FindWindowW(L"#32770", caption.c_str()); }, std::stoi(rest));
    } catch (const Failure&) {
      throw Failure{"timed out; shown: " + ShownWindows()};
    }
    // The text is the one static child that has any; the icon's has none.
    for (HWND child : Children(box))
      if (ClassOf(child) == L"Static" && !TextOf(child).empty()) {
        Say("ok " + Escape(Narrow(TextOf(child))));
        return;
      }
    throw Failure{"a message box without text"};
  } else if (command == "dismiss") {
    const std::wstring caption = Wide(Word(rest));
    HWND box = TopLevel(Narrow(caption), L"#32770");
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    for (int waited = 0; IsWindow(box); waited += 20) {
      if (waited > static_cast<int>(kSyncTimeout)) throw Failure{"the message box stays"};
      Sleep(20);
    }
    Say("ok");
  } else {
    throw Failure{"unknown command " + command};
  }
}

}  // namespace

int main() {
  // Our numbers are the real pixels, then divided by each window's own DPI.
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  if (auto setContext = reinterpret_cast<SetContext>(reinterpret_cast<void (*)()>(
          GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext"))))
    setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  Say("ready");
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string rest = line;
    const std::string command = Word(rest);
    if (command == "quit") break;
    try {
      Run(command, rest);
    } catch (const Failure& failure) {
      Say("error " + failure.what);
    } catch (const std::exception& e) {
      Say(std::string("error ") + e.what());
    }
  }
  return 0;
}
