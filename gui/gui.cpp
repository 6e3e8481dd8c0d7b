#include "gui.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "backend.h"
#include "form_description.h"
#include "layout.h"

using gui::backend::Kind;

// Lives as long as the process. Out of memory this early, the program could
// only end, as the uncaught exception ends it.
TApplication* Application = new TApplication;  // NOLINT(cert-err58-cpp)

// --- components and controls ---

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->components_.emplace_back(this);
}

TComponent::~TComponent() { DestroyComponents(); }

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (const auto& component : components_)
    if (component->Name() == name) return component.get();
  return nullptr;
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) components_.pop_back();
}

TControl::TControl(TComponent* AOwner, gui::Native* native) : TComponent(AOwner), native_(native) {}
TControl::~TControl() {
  // Controls on this one go before the widget that holds them.
  DestroyComponents();
  gui::backend::Destroy(native_);
}

TRect TControl::BoundsRect() const { return gui::backend::Bounds(native_); }
void TControl::SetBounds(const TRect& bounds) { gui::backend::SetBounds(native_, bounds); }
std::string TControl::Text() const { return gui::backend::Text(native_); }
void TControl::SetText(const std::string& utf8) { gui::backend::SetText(native_, utf8); }

TButton::TButton(TComponent* AOwner, TControl* parent)
    : TControl(AOwner, gui::backend::Create(Kind::Button, *this, parent->Handle())) {}

void TButton::Click() {
  if (OnClick) Application->Dispatch(OnClick, this);
}

TLabel::TLabel(TComponent* AOwner, TControl* parent)
    : TControl(AOwner, gui::backend::Create(Kind::Label, *this, parent->Handle())) {}

TMemo::TMemo(TComponent* AOwner, TControl* parent)
    : TControl(AOwner, gui::backend::Create(Kind::Memo, *this, parent->Handle())) {}

TRadioGroup::TRadioGroup(TComponent* AOwner, TControl* parent)
    : TControl(AOwner, gui::backend::Create(Kind::RadioGroup, *this, parent->Handle())) {}

void TRadioGroup::SetItems(const std::vector<std::string>& items) {
  gui::backend::SetItems(Handle(), items);
}
std::vector<std::string> TRadioGroup::Items() const { return gui::backend::Items(Handle()); }
int TRadioGroup::ItemIndex() const { return gui::backend::ItemIndex(Handle()); }
void TRadioGroup::SetItemIndex(int index) { gui::backend::SetItemIndex(Handle(), index); }

TForm::TForm(TComponent* AOwner)
    : TControl(AOwner, gui::backend::Create(Kind::Form, *this, nullptr)) {}

// --- the application object ---

TApplication::TApplication() : TComponent(nullptr) {}

void TApplication::Initialize() { gui::backend::Initialize(); }

void TApplication::Adopt(TForm* form, const gui::FormClass& formClass) {
  formClass.Load(*form);
  gui::backend::SetIcon(form->Handle(), "MAINICON");
  if (!mainForm_) mainForm_ = form;
}

void TApplication::Run() {
  if (!mainForm_) return;
  gui::backend::Show(mainForm_->Handle());
  gui::backend::Run(mainForm_->Handle());
  if (escaped_) std::rethrow_exception(std::exchange(escaped_, nullptr));
}

void TApplication::ShowException(const Exception* E) {
  gui::backend::MessageBox(E->Message, Title(), true);
}

std::string TApplication::Title() const { return gui::backend::ProgramName(); }

void TApplication::Dispatch(const TNotifyEvent& handler, TObject* sender) {
  try {
    handler(sender);
  } catch (const Exception& E) {
    ShowException(&E);
  } catch (...) {
    // Not ours to show here: it leaves the message loop for the entry point.
    escaped_ = std::current_exception();
    gui::backend::Quit();
  }
}

void gui::ShowMessageBox(const std::string& utf8Text, const std::string& caption) {
  backend::MessageBox(utf8Text, caption, false);
}

// --- loading a form from its description ---

namespace gui {

namespace {

[[noreturn]] void Mismatch(const ObjectDescription& object, const std::string& what) {
  throw Exception("Form description, line " + std::to_string(object.line) + ", " + object.name +
                  ": " + what);
}

// The properties of one object, each taken once and checked for its kind.
class Properties {
 public:
  explicit Properties(const ObjectDescription& object) : object_(object) {
    for (const Property& p : object.properties)
      if (!byName_.emplace(p.name, &p).second) Mismatch(object, p.name + " given twice");
  }

  const PropertyValue* Take(const std::string& name, PropertyValue::Kind kind) {
    const auto it = byName_.find(name);
    if (it == byName_.end()) return nullptr;
    if (it->second->value.kind != kind) Mismatch(object_, "wrong kind of value for " + name);
    const PropertyValue* value = &it->second->value;
    byName_.erase(it);
    return value;
  }
  std::optional<long> Integer(const std::string& name) {
    const PropertyValue* v = Take(name, PropertyValue::Kind::Integer);
    return v ? std::optional<long>(v->integer) : std::nullopt;
  }
  std::optional<std::string> Identifier(const std::string& name) {
    const PropertyValue* v = Take(name, PropertyValue::Kind::Identifier);
    return v ? std::optional<std::string>(v->identifier) : std::nullopt;
  }
  std::optional<std::vector<std::string>> Strings(const std::string& name) {
    const PropertyValue* v = Take(name, PropertyValue::Kind::Strings);
    return v ? std::optional<std::vector<std::string>>(v->strings) : std::nullopt;
  }
  std::optional<std::string> String(const std::string& name) {
    auto strings = Strings(name);
    if (!strings) return std::nullopt;
    if (strings->size() != 1) Mismatch(object_, name + " takes one string");
    return strings->front();
  }
  TRect Bounds() {
    TRect r;
    for (auto [name, field] : {std::pair{"Left", &r.Left}, std::pair{"Top", &r.Top},
                               std::pair{"Width", &r.Width}, std::pair{"Height", &r.Height}}) {
      const auto v = Integer(name);
      if (!v) Mismatch(object_, std::string("missing ") + name);
      *field = static_cast<int>(*v);
    }
    if (r.Width < 0 || r.Height < 0) Mismatch(object_, "negative size");
    return r;
  }
  // Anything left was not understood.
  void Finish() {
    if (!byName_.empty()) Mismatch(object_, "unknown property " + byName_.begin()->first);
  }

 private:
  const ObjectDescription& object_;
  std::map<std::string, const Property*> byName_;
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

backend::SystemColor ColorNamed(const ObjectDescription& object, const std::string& name) {
  if (name == "clBtnFace") return backend::SystemColor::BtnFace;
  if (name == "clWindowText") return backend::SystemColor::WindowText;
  Mismatch(object, "unknown colour " + name);
}

// A memo shows no caption of its own, so a screen reader names it by the
// label standing just above it.
struct Placed {
  TControl* control;
  TRect bounds;
};

// The frame of a sizeable window on the desktop the forms are designed on, at
// 96 PPI: a form's Width and Height include it.
constexpr TSize kDesignFrame{16, 39};
// The lines a memo shows at the least while the other controls keep their
// size, and once they have given way too.
constexpr int kMemoLeastLines = 3, kMemoTightestLines = 2;

TRect Scaled(TRect r, long pixelsPerInch) {
  if (pixelsPerInch == 96) return r;
  // In 64 bits: a description's nine-digit size times 96 is past an int.
  auto scale = [&](int v) {
    return static_cast<int>(
        std::clamp<std::int64_t>(std::int64_t{v} * 96 / pixelsPerInch, INT_MIN, INT_MAX));
  };
  return {scale(r.Left), scale(r.Top), scale(r.Width), scale(r.Height)};
}

}  // namespace

void FormClass::Load(TForm& form) const { Load(form, backend::LoadResource(resource_)); }

void FormClass::Load(TForm& form, std::string_view text) const {
  const FormDescription description = ParseFormDescription(text);
  const ObjectDescription& formObject = description.form;
  if (Upper(formObject.className) != Upper(resource_))
    Mismatch(formObject, "describes " + formObject.className + ", not " + resource_);

  Properties formProperties(formObject);
  form.SetName(formObject.name);
  const long ppi = formProperties.Integer("PixelsPerInch").value_or(96);
  if (ppi <= 0) Mismatch(formObject, "bad PixelsPerInch");
  formProperties.Integer("TextHeight");  // the font's measure at design time; informative
  const TRect formBounds = Scaled(formProperties.Bounds(), ppi);
  const auto caption = formProperties.String("Caption");
  backend::Font font;
  font.name = formProperties.String("Font.Name").value_or("");
  font.height = static_cast<int>(formProperties.Integer("Font.Height").value_or(-11));
  font.color =
      ColorNamed(formObject, formProperties.Identifier("Font.Color").value_or("clWindowText"));
  const std::string charset = formProperties.Identifier("Font.Charset").value_or("DEFAULT_CHARSET");
  if (charset != "DEFAULT_CHARSET") Mismatch(formObject, "unknown charset " + charset);
  const auto color =
      ColorNamed(formObject, formProperties.Identifier("Color").value_or("clBtnFace"));
  formProperties.Finish();

  std::vector<std::string> texts;  // everything the font has to show
  if (caption) texts.push_back(*caption);
  std::map<std::string, TControl*> byName;
  std::vector<std::pair<long, TControl*>> tabbed;
  std::vector<TControl*> untabbed;
  std::vector<Placed> all, labels, memos;

  for (const ObjectDescription& object : description.controls) {
    Properties p(object);
    const TRect bounds = Scaled(p.Bounds(), ppi);
    TControl* control = nullptr;
    const std::string& cls = object.className;
    if (cls == "TLabel") {
      control = new TLabel(&form, &form);
    } else if (cls == "TButton") {
      auto* button = new TButton(&form, &form);
      control = button;
      if (auto handlerName = p.Identifier("OnClick")) {
        const auto h =
            std::find_if(handlers_.begin(), handlers_.end(),
                         [&](const HandlerBinding& b) { return b.name == *handlerName; });
        if (h == handlers_.end()) Mismatch(object, "no handler " + *handlerName);
        button->OnClick = h->make(form);
      }
    } else if (cls == "TMemo") {
      control = new TMemo(&form, &form);
      if (auto lines = p.Strings("Lines")) {
        std::string text;
        for (std::size_t i = 0; i < lines->size(); ++i) text += (i ? "\r\n" : "") + (*lines)[i];
        control->SetText(text);
        texts.insert(texts.end(), lines->begin(), lines->end());
      }
    } else if (cls == "TRadioGroup") {
      auto* group = new TRadioGroup(&form, &form);
      control = group;
      const auto items = p.Strings("Items").value_or(std::vector<std::string>{});
      group->SetItems(items);
      texts.insert(texts.end(), items.begin(), items.end());
      const long index = p.Integer("ItemIndex").value_or(-1);
      if (index < -1 || index >= static_cast<long>(items.size()))
        Mismatch(object, "ItemIndex out of range");
      group->SetItemIndex(static_cast<int>(index));
    } else {
      Mismatch(object, "unknown class " + cls);
    }
    control->SetName(object.name);
    if (!byName.emplace(object.name, control).second) Mismatch(object, "name used twice");
    if (cls != "TMemo") {
      if (auto text = p.String("Caption")) {
        control->SetText(*text);
        texts.push_back(*text);
      }
    }
    if (auto order = p.Integer("TabOrder")) {
      if (cls == "TLabel") Mismatch(object, "a label takes no focus");
      tabbed.emplace_back(*order, control);
    } else if (cls != "TLabel") {
      untabbed.push_back(control);
    }
    control->SetBounds(bounds);
    all.push_back({control, bounds});
    if (cls == "TLabel") labels.push_back({control, bounds});
    if (cls == "TMemo") memos.push_back({control, bounds});
    p.Finish();
  }

  for (const FieldBinding& field : fields_) {
    const auto it = byName.find(field.name);
    if (it == byName.end()) throw Exception(formObject.name + ": no control " + field.name);
    if (!field.bind(form, it->second))
      throw Exception(formObject.name + ": " + field.name + " is of another class");
    byName.erase(it);
  }
  if (!byName.empty()) throw Exception(formObject.name + ": no field for " + byName.begin()->first);

  std::stable_sort(tabbed.begin(), tabbed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Native*> natives;  // in Tab order
  for (std::size_t i = 0; i < tabbed.size(); ++i) {
    if (i > 0 && tabbed[i].first == tabbed[i - 1].first)
      throw Exception(formObject.name + ": TabOrder " + std::to_string(tabbed[i].first) +
                      " used twice");
    natives.push_back(tabbed[i].second->Handle());
  }
  for (TControl* c : untabbed) natives.push_back(c->Handle());

  backend::SetFormStyle(form.Handle(), color, font, texts);
  backend::SetTabOrder(form.Handle(), natives);
  auto boundsOf = [](const std::vector<Placed>& placed) {
    std::vector<TRect> bounds;
    bounds.reserve(placed.size());
    for (const Placed& p : placed) bounds.push_back(p.bounds);
    return bounds;
  };
  for (auto [label, memo] : Stacked(boundsOf(labels), boundsOf(memos), true))
    backend::SetLabelFor(labels[label].control->Handle(), memos[memo].control->Handle());

  // Every control in the layout, in the order created.
  std::vector<FormLayout::Design> design;
  std::vector<TControl*> controls;
  for (const Placed& p : all) {
    using Part = FormLayout::Part;
    const bool memo = dynamic_cast<TMemo*>(p.control) != nullptr;
    const Part part = memo                                           ? Part::Box
                      : dynamic_cast<TLabel*>(p.control) != nullptr  ? Part::Label
                      : dynamic_cast<TButton*>(p.control) != nullptr ? Part::Button
                                                                     : Part::Other;
    Native* native = p.control->Handle();
    design.push_back({p.bounds, part, memo ? backend::MemoHeight(native, kMemoLeastLines) : 0,
                      memo ? TSize{0, backend::MemoHeight(native, kMemoTightestLines)}
                           : backend::LeastSize(native)});
    controls.push_back(p.control);
  }
  auto within = [](const TRect& r) {
    return r.Left >= 0 && r.Top >= 0 && r.Width <= FormLayout::kLargest - r.Left &&
           r.Height <= FormLayout::kLargest - r.Top;
  };
  const TSize designClient{formBounds.Width - kDesignFrame.Width,
                           formBounds.Height - kDesignFrame.Height};
  const bool fits = within({0, 0, designClient.Width, designClient.Height}) &&
                    std::all_of(design.begin(), design.end(),
                                [&](const FormLayout::Design& d) { return within(d.bounds); });
  if (caption) form.SetText(*caption);
  if (!fits) {  // controls off the client area, or no screen as large: left as described
    form.SetBounds(formBounds);
    return;
  }
  auto layout = std::make_shared<const FormLayout>(designClient, design);
  backend::SetLayout(form.Handle(),
                     {layout->Designed(), layout->Minimum(), [layout, controls](TSize client) {
                        const std::vector<TRect> placed = layout->Place(client);
                        for (std::size_t i = 0; i < controls.size(); ++i)
                          controls[i]->SetBounds(placed[i]);
                      }});
  form.SetBounds(formBounds);
}

}  // namespace gui
