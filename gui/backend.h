// What the portable layer asks of a GUI backend. One backend per platform:
// gui_qt.cpp (Qt 6 Widgets) and gui_win32.cpp (user32 and gdi32, W API).
// Every backend:
// - takes and gives sizes in 96-PPI pixels, scaled to the screen it is on; a
//   form's bounds include its frame;
// - takes and gives text as UTF-8, with CR LF between a memo's lines;
// - delivers clicks through Application->Dispatch;
// - moves focus with Tab and Shift+Tab in the form's order, entering a radio
//   group at its chosen button; the arrow keys choose within a group; Enter
//   and Space press a focused button;
// - lets screen readers hear the form as a window by its caption, a button
//   or a port by its caption, and a memo by the label that stands for it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "gui.h"
#include "layout.h"

namespace gui::backend {

enum class Kind { Form, Button, Label, Memo, RadioGroup };

enum class SystemColor { BtnFace, WindowText };

struct Font {
  std::string name;
  int height = -11;  // negative: character height in 96-PPI pixels
  SystemColor color = SystemColor::WindowText;
};

void Initialize();

// A form has no parent; every other kind is created on `parent`, a form.
// `control` is the component that events are delivered for.
Native* Create(Kind kind, TControl& control, Native* parent);
void Destroy(Native* native);

// A form's bounds include its frame: the backend puts the window where they
// say as far as the screen's available area (the screen less its panels)
// lets it, moving it, then making it smaller, to fit.
void SetBounds(Native* native, const TRect& bounds);
TRect Bounds(Native* native);
void SetText(Native* native, const std::string& utf8);
std::string Text(Native* native);

void SetItems(Native* group, const std::vector<std::string>& items);
std::vector<std::string> Items(Native* group);
int ItemIndex(Native* group);
void SetItemIndex(Native* group, int index);

// The form's look: background colour and the font of all its controls. The
// backend keeps the font's name where the face can show every text given,
// and picks one that can otherwise.
void SetFormStyle(Native* form, SystemColor color, const Font& font,
                  const std::vector<std::string>& texts);
void SetTabOrder(Native* form, const std::vector<Native*>& order);
// `label` names `control` to screen readers. Called after SetTabOrder: a
// backend may move the label within the form's child order, never into the
// order that Tab follows.
void SetLabelFor(Native* label, Native* control);
// The height a memo needs to show `lines` whole lines of text, its frame
// and margins included, in 96-PPI pixels.
int MemoHeight(Native* memo, int lines);
// The least size at which a button shows its caption, or a radio group its
// caption and items, whole in the font it has, in 96-PPI pixels; {0, 0} for
// any other control.
TSize LeastSize(Native* control);

// How a form's controls follow its client area. The backend calls `place`
// with the client area's size (96-PPI pixels) whenever that changes, never
// lets it become smaller than `minimum`, and offers resizing and maximising.
// `design` is the client area at the form's designed size, where the frame
// the desktop adds is not known yet.
struct Layout {
  TSize design, minimum;
  std::function<void(TSize client)> place;
};
void SetLayout(Native* form, const Layout& layout);

// The window icon, from the embedded resource of that name.
void SetIcon(Native* form, const std::string& resource);

void Show(Native* form);
// Runs the message loop until the main form closes or Quit is called.
void Run(Native* mainForm);
void Quit();

void MessageBox(const std::string& utf8Text, const std::string& caption, bool error);

// The bytes of an embedded resource; throws Exception when there is none.
std::string LoadResource(const std::string& name);
// The program's name, without directory or extension.
std::string ProgramName();

}  // namespace gui::backend
