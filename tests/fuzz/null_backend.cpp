// A GUI backend that keeps what it is told and shows nothing, so that the
// form loader can run thousands of times a second under the fuzzer.
#include <string>
#include <vector>

#include "backend.h"

struct gui::Native {
  TRect bounds;
  std::string text;
  std::vector<std::string> items;
  int index = -1;
};

namespace gui::backend {

void Initialize() {}
Native* Create(Kind, TControl&, Native*) { return new Native; }
void Destroy(Native* native) { delete native; }
void SetBounds(Native* native, const TRect& bounds) { native->bounds = bounds; }
TRect Bounds(Native* native) { return native->bounds; }
void SetText(Native* native, const std::string& utf8) { native->text = utf8; }
std::string Text(Native* native) { return native->text; }
void SetItems(Native* group, const std::vector<std::string>& items) { group->items = items; }
std::vector<std::string> Items(Native* group) { return group->items; }
int ItemIndex(Native* group) { return group->index; }
void SetItemIndex(Native* group, int index) { group->index = index; }
void SetFormStyle(Native*, SystemColor, const Font&, const std::vector<std::string>&) {}
void SetTabOrder(Native*, const std::vector<Native*>&) {}
void SetLabelFor(Native*, Native*) {}
void SetIcon(Native*, const std::string&) {}
int MemoHeight(Native*, int lines) { return 13 * lines + 8; }
TSize LeastSize(Native*) { return {}; }
// The layout is placed once, at the designed size, as a window shown there.
void SetLayout(Native*, const Layout& layout) { layout.place(layout.design); }
void Show(Native*) {}
void Run(Native*) {}
void Quit() {}
void MessageBox(const std::string&, const std::string&, bool) {}
std::string LoadResource(const std::string& name) { throw Exception("no resource " + name); }
std::string ProgramName() { return "fuzz"; }

}  // namespace gui::backend
