// Our small GUI class layer: the application object, a form and the four
// kinds of control the window uses, built from an embedded form description.
// Text crosses this interface as UTF-8; a memo's lines are joined by CR LF.
// Neither Qt nor windows.h is visible here: each backend keeps its widgets
// behind gui::Native.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TObject {
 public:
  virtual ~TObject() = default;
};

// The base of the exceptions the layer shows by itself, built from a message.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

namespace gui {
struct Native;  // a backend's widget
class FormClass;
}  // namespace gui

// A component owns the components created with it as their owner, and
// destroys them with itself. Owned components are created with new.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  // The owned component of that name, or nullptr.
  TComponent* FindComponent(const std::string& name) const;

 protected:
  // Destroys the owned components, the last created first.
  void DestroyComponents();

 private:
  std::string name_;
  std::vector<std::unique_ptr<TComponent>> components_;
};

struct TRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  friend bool operator==(const TRect&, const TRect&) = default;
};

// A control on screen. Positions and sizes are pixels at 96 PPI, scaled by the
// backend to the screen: a control's relative to its form's client area, a
// form's on the screen including its frame.
class TControl : public TComponent {
 public:
  ~TControl() override;
  TRect BoundsRect() const;
  void SetBounds(const TRect& bounds);
  // A button's, label's or group's caption, a form's title, a memo's text.
  std::string Text() const;
  void SetText(const std::string& utf8);
  gui::Native* Handle() const { return native_; }

 protected:
  TControl(TComponent* AOwner, gui::Native* native);

 private:
  gui::Native* native_;
};

class TButton : public TControl {
 public:
  explicit TButton(TComponent* AOwner, TControl* parent);
  TNotifyEvent OnClick;
  // Runs OnClick as a click by the user does.
  void Click();
};

class TLabel : public TControl {
 public:
  explicit TLabel(TComponent* AOwner, TControl* parent);
};

class TMemo : public TControl {
 public:
  explicit TMemo(TComponent* AOwner, TControl* parent);
};

class TRadioGroup : public TControl {
 public:
  explicit TRadioGroup(TComponent* AOwner, TControl* parent);
  void SetItems(const std::vector<std::string>& items);
  std::vector<std::string> Items() const;
  int ItemIndex() const;  // -1 when none is selected
  void SetItemIndex(int index);
};

class TForm : public TControl {
 public:
  explicit TForm(TComponent* AOwner);
};

class TApplication : public TComponent {
 public:
  TApplication();
  void Initialize();
  // Creates a form of class Form from its embedded description into
  // `reference`; the first becomes the main form, whose closing ends Run.
  template <class Form>
  void CreateForm(Form*& reference);
  // The message loop. An Exception from an event handler is shown and the
  // loop goes on; any other exception ends the loop and leaves Run.
  void Run();
  void ShowException(const Exception* E);
  std::string Title() const;

  // The boundary at which a backend delivers an event: what the handler throws
  // is dealt with here and never unwinds into the toolkit.
  void Dispatch(const TNotifyEvent& handler, TObject* sender);

 private:
  void Adopt(TForm* form, const gui::FormClass& formClass);
  TForm* mainForm_ = nullptr;
  std::exception_ptr escaped_;
};

extern TApplication* Application;

namespace gui {

// Binds a form class to its description: the resource that holds it, the
// field each named control goes into, the method each handler name means.
// Specialise FormBinding<Form> beside the form with a static Class().
template <class Form>
struct FormBinding;

class FormClass {
 public:
  explicit FormClass(std::string resource) : resource_(std::move(resource)) {}

  template <class Form, class Control>
  FormClass& Field(std::string name, Control* Form::*member) {
    fields_.push_back({std::move(name), [member](TForm& form, TComponent* control) {
                         auto* typed = dynamic_cast<Control*>(control);
                         if (typed) static_cast<Form&>(form).*member = typed;
                         return typed != nullptr;
                       }});
    return *this;
  }

  template <class Form>
  FormClass& Handler(std::string name, void (Form::*method)(TObject*)) {
    handlers_.push_back({std::move(name), [method](TForm& form) -> TNotifyEvent {
                           return [&form, method](TObject* sender) {
                             (static_cast<Form&>(form).*method)(sender);
                           };
                         }});
    return *this;
  }

  // Builds the form's controls from the description, sets every property and
  // binds fields and handlers. Throws Exception when the description is
  // malformed or doesn't match the class.
  void Load(TForm& form) const;
  // The same from a description given as text, for descriptions that are
  // not embedded.
  void Load(TForm& form, std::string_view description) const;

 private:
  struct FieldBinding {
    std::string name;
    std::function<bool(TForm&, TComponent*)> bind;
  };
  struct HandlerBinding {
    std::string name;
    std::function<TNotifyEvent(TForm&)> make;
  };
  std::string resource_;
  std::vector<FieldBinding> fields_;
  std::vector<HandlerBinding> handlers_;
};

// Shows a modal message box with one OK button and no owner.
void ShowMessageBox(const std::string& utf8Text, const std::string& caption);

}  // namespace gui

template <class Form>
void TApplication::CreateForm(Form*& reference) {
  Form* form = new Form(this);
  reference = form;
  Adopt(form, gui::FormBinding<Form>::Class());
}
