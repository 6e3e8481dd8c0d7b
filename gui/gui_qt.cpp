// The backend of gui/backend.h on Qt 6 Widgets (Linux). It adds: resources
// embedded at build time; Qt scales the 96-PPI pixels to the screen; the
// start and the desktop it connects to are gui_qt_start.cpp's.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "backend.h"
#include "embedded.h"

struct gui::Native {
  backend::Kind kind;
  TControl* control;
  QPointer<QWidget> widget;
  std::vector<QRadioButton*> radios;
  TRect frame;                      // a form's wanted bounds, frame included
  std::optional<QSize> allowedFor;  // the frame size those bounds were placed for
  backend::Layout layout;           // a form's
};

namespace gui::backend {

namespace {

constexpr char kNoChineseFont[] =
    "comtester shows its captions in Chinese, and no font here has them: install the package "
    "fonts-noto-cjk.\n";

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
std::string U(const QString& text) { return text.toStdString(); }

// A form's bounds include the frame the window manager adds, known only once
// the window is mapped: place the client area so that the whole fits the
// screen's available area, moved into it where the designed place does not. Where the desktop
// reports no frame (a Wayland compositor drawing its own, or none drawn yet), the client area takes
// the size the design gives it. Placed again only when a frame first shows up: any size the desktop
// or the user gives the window after that (tiling, maximising, a resize, a frame that changes with
// them) it keeps.
class FramePlacer final : public QObject {
 public:
  explicit FramePlacer(Native* form) : QObject(form->widget), form_(form) {}
  bool eventFilter(QObject*, QEvent* event) override {
    const QEvent::Type type = event->type();
    const std::optional<QSize>& placedFor = form_->allowedFor;
    if ((type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show) &&
        (!placedFor || (placedFor->isNull() && !Frame(form_->widget).isNull())))
      Place(form_);
    return false;
  }
  static void Place(Native* form) {
    QWidget* w = form->widget;
    const QSize frame = Frame(w);
    form->allowedFor = frame;
    const TRect& wanted = form->frame;
    const TSize design = form->layout.design;
    const QSize around = !frame.isNull() ? frame
                         : design.Width > 0
                             ? QSize(wanted.Width - design.Width, wanted.Height - design.Height)
                             : QSize(0, 0);
    QScreen* screen = QGuiApplication::screenAt(QPoint(wanted.Left, wanted.Top));
    if (!screen) screen = w->screen();
    QRect area = screen->availableGeometry();
    // A Wayland compositor places a window itself, and centres the client
    // area, not the frame: leave room for a title above it on both sides.
    if (frame.isNull() && QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
      area.setHeight(area.height() - (around.height() - around.width() / 2));
    const TRect fitted = FitInto(wanted, {area.x(), area.y(), area.width(), area.height()});
    // Scaled, a frame of device pixels may not divide into whole pixels of
    // ours: where the area bounds the window, a pixel to spare on each side
    // keeps it inside.
    const int slack = w->devicePixelRatioF() > 1 ? 1 : 0;
    const QSize room(area.width() - around.width() - 2 * slack,
                     area.height() - around.height() - 2 * slack);
    // Below the layout's least, the window still takes no more than the area.
    if (form->layout.place)
      w->setMinimumSize(std::min(form->layout.minimum.Width, room.width()),
                        std::min(form->layout.minimum.Height, room.height()));
    w->resize(fitted.Width < wanted.Width ? room.width() : fitted.Width - around.width(),
              fitted.Height < wanted.Height ? room.height() : fitted.Height - around.height());
    w->move(fitted.Left + (fitted.Width < wanted.Width ? slack : 0),
            fitted.Top + (fitted.Height < wanted.Height ? slack : 0));
  }

 private:
  static QSize Frame(const QWidget* w) { return w->frameGeometry().size() - w->geometry().size(); }
  Native* form_;
};

// Where Tab lands on a stop of the form's order: a radio group's chosen
// button, or its first when none is chosen; any other control itself.
QWidget* TabTarget(QWidget* stop) {
  if (!qobject_cast<QGroupBox*>(stop)) return stop;
  const auto radios = stop->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
  for (QRadioButton* radio : radios)
    if (radio->isChecked()) return radio;
  return radios.isEmpty() ? nullptr : radios.front();
}

// A form walks its own order on Tab and Shift+Tab, as Windows does: Qt's
// chain would enter a radio group at whichever button had focus last, or at
// an unchosen one before any had.
class FormWidget final : public QWidget {
 public:
  FormWidget()
      : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                             Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint) {}
  void SetStops(const std::vector<QWidget*>& stops) { stops_.assign(stops.begin(), stops.end()); }
  void SetPlace(std::function<void(TSize)> place) {
    place_ = std::move(place);
    if (place_) place_({width(), height()});
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    if (place_) place_({width(), height()});
    QWidget::resizeEvent(event);
  }
  bool focusNextPrevChild(bool next) override {
    const QWidget* focus = QApplication::focusWidget();
    const std::size_t n = stops_.size();
    std::size_t at = n;
    for (std::size_t i = 0; i < n && focus; ++i)
      if (stops_[i] && (stops_[i] == focus || stops_[i]->isAncestorOf(focus))) at = i;
    if (at == n) return QWidget::focusNextPrevChild(next);
    for (std::size_t step = 1; step < n; ++step) {
      QWidget* target = stops_[(at + (next ? step : n - step)) % n];
      target = target ? TabTarget(target) : nullptr;
      if (target && target->isVisibleTo(this) && target->isEnabled()) {
        target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
        break;
      }
    }
    return true;
  }

 private:
  std::vector<QPointer<QWidget>> stops_;
  std::function<void(TSize)> place_;
};

// Keys on a button as Windows has them: Enter (either one) presses a push
// button, as Space does; on a radio button Up and Left choose the previous
// of its group, Down and Right the next, wrapping around.
class ButtonKeys final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (auto* button = qobject_cast<QPushButton*>(watched)) {
      if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
      button->click();
      return true;
    }
    auto* radio = qobject_cast<QRadioButton*>(watched);
    const int step = key == Qt::Key_Up || key == Qt::Key_Left      ? -1
                     : key == Qt::Key_Down || key == Qt::Key_Right ? 1
                                                                   : 0;
    if (!radio || step == 0) return false;
    const auto radios =
        radio->parentWidget()->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
    const qsizetype n = radios.size();
    QRadioButton* chosen = radios[(radios.indexOf(radio) + step + n) % n];
    chosen->setChecked(true);
    chosen->setFocus(step < 0 ? Qt::BacktabFocusReason : Qt::TabFocusReason);
    return true;
  }
};

void LayOutRadios(Native* group) {
  if (group->radios.empty()) return;
  QWidget* box = group->widget;
  const int top = box->fontMetrics().height() + 2;
  const int height = std::max(0, box->height() - top - 4);
  const int step = height / static_cast<int>(group->radios.size());
  int y = top;
  for (QRadioButton* radio : group->radios) {
    radio->setGeometry(8, y, std::max(0, box->width() - 16), step);
    y += step;
  }
}

// Wrapping at word boundaries, the toolkit looks for a place to break up to
// the end of the run it is in, again for each wrapped line: a run with nowhere
// to break costs the square of its length. While a memo holds a run longer
// than any word, it wraps anywhere, at a cost in proportion to the length;
// ordinary text wraps at word boundaries.
constexpr qsizetype kLongestWord = 1000;

bool HasRunLongerThanAWord(const QString& line) {
  QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, line);
  for (qsizetype last = 0, at = breaks.toNextBoundary(); at >= 0;
       last = at, at = breaks.toNextBoundary())
    if (at - last > kLongestWord) return true;
  return false;
}

// Decides on each change, from the blocks changed; a paste decides before
// the text goes in, so that it is laid out once.
class Memo final : public QPlainTextEdit {
 public:
  explicit Memo(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    connect(document(), &QTextDocument::contentsChange, this, &Memo::Changed);
  }

 protected:
  void insertFromMimeData(const QMimeData* source) override {
    if (source->hasText() && HasRunLongerThanAWord(source->text()))
      setWordWrapMode(QTextOption::WrapAnywhere);
    QPlainTextEdit::insertFromMimeData(source);
  }

 private:
  enum : int { kWordsOnly = 0, kLongRun = 1 };  // a block's user state; -1 until looked at
  void Changed(int from, int, int added) {
    QTextDocument* text = document();
    bool longRun = false;
    const QTextBlock last = text->findBlock(from + added);
    for (QTextBlock block = text->findBlock(from); block.isValid(); block = block.next()) {
      const bool isLong = block.length() > kLongestWord && HasRunLongerThanAWord(block.text());
      block.setUserState(isLong ? kLongRun : kWordsOnly);
      longRun |= isLong;
      if (block == last) break;
    }
    if (!longRun && wordWrapMode() == QTextOption::WrapAnywhere)
      for (QTextBlock block = text->begin(); block.isValid() && !longRun; block = block.next())
        longRun = block.userState() == kLongRun;
    const auto mode =
        longRun ? QTextOption::WrapAnywhere : QTextOption::WrapAtWordBoundaryOrAnywhere;
    if (wordWrapMode() != mode) setWordWrapMode(mode);
  }
};

std::optional<std::string_view> Embedded(const std::string& name) {
  for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i)
    if (kEmbeddedResources[i].name == name) return kEmbeddedResources[i].bytes;
  return std::nullopt;
}

// A one-image 16-colour icon, as ours is, decoded here: the toolkit's ICO
// reader is a plugin to load before the window can show. Returns a null image
// for any other kind of icon.
QImage DecodeIcon16(std::string_view ico) {
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned>(static_cast<uchar>(ico[at]) | static_cast<uchar>(ico[at + 1])
                                                                   << 8);
  };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (ico.size() < 22 || u16(0) != 0 || u16(2) != 1 || u16(4) != 1) return {};
  const std::size_t bmp = u32(18);
  if (bmp + 40 > ico.size() || u32(bmp) != 40 || u16(bmp + 14) != 4) return {};
  const int width = static_cast<int>(u32(bmp + 4));
  const int height = static_cast<int>(u32(bmp + 8)) / 2;
  if (width <= 0 || width > 256 || height <= 0 || height > 256) return {};
  const std::size_t palette = bmp + 40;
  const auto columns = static_cast<std::size_t>(width);
  const std::size_t colorStride = (columns * 4 + 31) / 32 * 4;
  const std::size_t maskStride = (columns + 31) / 32 * 4;
  const std::size_t colors = palette + std::size_t{16} * 4;
  const std::size_t mask = colors + colorStride * static_cast<std::size_t>(height);
  if (mask + maskStride * static_cast<std::size_t>(height) > ico.size()) return {};

  QImage image(width, height, QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y) {
    const std::size_t row = static_cast<std::size_t>(height - 1 - y);  // stored bottom-up
    for (int x = 0; x < width; ++x) {
      const auto pair = static_cast<uchar>(ico[colors + row * colorStride + x / 2]);
      const std::size_t entry = palette + std::size_t{4} * ((x % 2) ? (pair & 0x0F) : (pair >> 4));
      const auto maskByte = static_cast<uchar>(ico[mask + row * maskStride + x / 8]);
      const bool transparent = maskByte & (0x80 >> (x % 8));
      image.setPixel(
          x, y,
          transparent ? 0u
                      : qRgb(static_cast<uchar>(ico[entry + 2]), static_cast<uchar>(ico[entry + 1]),
                             static_cast<uchar>(ico[entry])));
    }
  }
  return image;
}

}  // namespace

Native* Create(Kind kind, TControl& control, Native* parent) {
  Initialize();
  auto* native = new Native{kind, &control, nullptr, {}, {}, std::nullopt, {}};
  QWidget* on = parent ? parent->widget.data() : nullptr;
  switch (kind) {
    case Kind::Form: {
      auto* form = new FormWidget;
      form->installEventFilter(new FramePlacer(native));
      // The toolkit gives a plain top-level widget the role of a client area
      // ("filler" to a screen reader); ours is the application's window. An
      // interface registered first is the one the toolkit hands out.
      QAccessible::registerAccessibleInterface(new QAccessibleWidget(form, QAccessible::Window));
      native->widget = form;
      break;
    }
    case Kind::Button: {
      auto* button = new QPushButton(on);
      button->setAutoDefault(false);
      button->installEventFilter(new ButtonKeys(button));
      QObject::connect(button, &QPushButton::clicked,
                       [&control] { static_cast<TButton&>(control).Click(); });
      native->widget = button;
      break;
    }
    case Kind::Label: {
      auto* label = new QLabel(on);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      native->widget = label;
      break;
    }
    case Kind::Memo: {
      native->widget = new Memo(on);
      break;
    }
    case Kind::RadioGroup:
      native->widget = new QGroupBox(on);
      break;
  }
  return native;
}

void Destroy(Native* native) {
  delete native->widget.data();
  delete native;
}

void SetBounds(Native* native, const TRect& r) {
  if (native->kind == Kind::Form) {
    native->frame = r;
    FramePlacer::Place(native);
    return;
  }
  native->widget->setGeometry(r.Left, r.Top, r.Width, r.Height);
  if (native->kind == Kind::RadioGroup) LayOutRadios(native);
}

TRect Bounds(Native* native) {
  const QRect r =
      native->kind == Kind::Form ? native->widget->frameGeometry() : native->widget->geometry();
  return {r.x(), r.y(), r.width(), r.height()};
}

void SetText(Native* native, const std::string& utf8) {
  QWidget* w = native->widget;
  switch (native->kind) {
    case Kind::Form:
      w->setWindowTitle(Q(utf8));
      break;
    case Kind::Button:
      static_cast<QPushButton*>(w)->setText(Q(utf8));
      break;
    case Kind::Label:
      static_cast<QLabel*>(w)->setText(Q(utf8));
      break;
    case Kind::RadioGroup:
      static_cast<QGroupBox*>(w)->setTitle(Q(utf8));
      break;
    case Kind::Memo: {
      QString text = Q(utf8);
      text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
      static_cast<QPlainTextEdit*>(w)->setPlainText(text);
      break;
    }
  }
}

std::string Text(Native* native) {
  QWidget* w = native->widget;
  switch (native->kind) {
    case Kind::Form:
      return U(w->windowTitle());
    case Kind::Button:
      return U(static_cast<QPushButton*>(w)->text());
    case Kind::Label:
      return U(static_cast<QLabel*>(w)->text());
    case Kind::RadioGroup:
      return U(static_cast<QGroupBox*>(w)->title());
    case Kind::Memo: {
      QString text = static_cast<QPlainTextEdit*>(w)->toPlainText();
      text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
      return U(text);
    }
  }
  return {};
}

void SetItems(Native* group, const std::vector<std::string>& items) {
  for (QRadioButton* radio : group->radios) delete radio;
  group->radios.clear();
  for (const std::string& item : items) {
    auto* radio = new QRadioButton(Q(item), group->widget);
    radio->installEventFilter(new ButtonKeys(radio));
    radio->show();
    group->radios.push_back(radio);
  }
  LayOutRadios(group);
}

std::vector<std::string> Items(Native* group) {
  std::vector<std::string> items;
  for (QRadioButton* radio : group->radios) items.push_back(U(radio->text()));
  return items;
}

int ItemIndex(Native* group) {
  for (std::size_t i = 0; i < group->radios.size(); ++i)
    if (group->radios[i]->isChecked()) return static_cast<int>(i);
  return -1;
}

void SetItemIndex(Native* group, int index) {
  for (std::size_t i = 0; i < group->radios.size(); ++i) {
    QRadioButton* radio = group->radios[i];
    // Unchecking the checked one of an exclusive set needs the set undone.
    radio->setAutoExclusive(false);
    radio->setChecked(static_cast<int>(i) == index);
    radio->setAutoExclusive(true);
  }
}

void SetFormStyle(Native* form, SystemColor color, const Font& font,
                  const std::vector<std::string>& texts) {
  QWidget* w = form->widget;
  QPalette palette = w->palette();
  if (color == SystemColor::BtnFace)
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  palette.setColor(QPalette::WindowText, palette.color(QPalette::Text));
  w->setPalette(palette);
  w->setAutoFillBackground(true);

  QFont f(Q(font.name));
  f.setPixelSize(std::abs(font.height));
  // Keep the face where it is installed and has every glyph; else name one
  // that has them first, so that no caption is left to whatever the fallback
  // finds. Asking an absent face for glyphs would load a substitute for
  // nothing, so look that up first.
  bool complete = QFontDatabase::families().contains(f.family());
  if (complete) {
    const QFontMetrics metrics(f);
    for (const std::string& text : texts)
      for (char32_t c : Q(text).toUcs4())
        if (!metrics.inFontUcs4(c)) complete = false;
  }
  if (!complete) f.setFamilies({QStringLiteral("Noto Sans CJK TC"), Q(font.name)});
  w->setFont(f);
  // Where no font has the captions' script, each shows as empty boxes; the
  // window still works, and the terminal says what would mend it.
  if (!complete && QFontDatabase::families(QFontDatabase::TraditionalChinese).isEmpty())
    (void)std::fputs(kNoChineseFont, stderr);
}

int MemoHeight(Native* memo, int lines) {
  const auto* edit = static_cast<QPlainTextEdit*>(memo->widget.data());
  const QMargins margins = edit->contentsMargins();
  const int documentMargin = static_cast<int>(std::ceil(edit->document()->documentMargin()));
  return lines * edit->fontMetrics().lineSpacing() + 2 * documentMargin + 2 * edit->frameWidth() +
         margins.top() + margins.bottom();
}

TSize LeastSize(Native* native) {
  QWidget* w = native->widget;
  const QFontMetrics metrics = w->fontMetrics();
  const QStyle* style = w->style();
  if (native->kind == Kind::Button) {
    const QSize text =
        metrics.size(Qt::TextShowMnemonic, static_cast<const QPushButton*>(w)->text());
    const int around = 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w) +
                       style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w);
    return {text.width() + around, text.height() + around};
  }
  if (native->kind != Kind::RadioGroup) return {};
  // The caption where the style draws it, with as much room after it as
  // before; each button as LayOutRadios puts it, one row each.
  auto* group = static_cast<QGroupBox*>(w);
  QStyleOptionGroupBox option;
  option.initFrom(group);
  option.text = group->title();
  option.textAlignment = group->alignment();
  option.lineWidth = 1;
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  const QRect label =
      style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
  int width = 2 * label.left() + label.width();
  int height = metrics.height() + 2 + 4;
  for (const QRadioButton* radio : native->radios) {
    width = std::max(width, radio->sizeHint().width() + 16);
    height += radio->sizeHint().height();
  }
  return {width, height};
}

void SetLayout(Native* form, const Layout& layout) {
  form->layout = layout;
  form->widget->setMinimumSize(layout.minimum.Width, layout.minimum.Height);
  static_cast<FormWidget*>(form->widget.data())->SetPlace(layout.place);
}

void SetTabOrder(Native* form, const std::vector<Native*>& order) {
  for (QWidget* child : form->widget->findChildren<QWidget*>()) child->setFocusPolicy(Qt::NoFocus);
  // The form walks the order on Tab itself; Qt's chain, in the same order,
  // still picks the control that has focus when the window first shows.
  std::vector<QWidget*> stops, chain;
  for (Native* native : order) {
    stops.push_back(native->widget);
    if (native->kind != Kind::RadioGroup) chain.push_back(native->widget);
    chain.insert(chain.end(), native->radios.begin(), native->radios.end());
  }
  static_cast<FormWidget*>(form->widget.data())->SetStops(stops);
  for (QWidget* w : chain) w->setFocusPolicy(Qt::StrongFocus);
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

// The toolkit names a control by the label whose buddy it is, and relates
// the two both ways.
void SetLabelFor(Native* label, Native* control) {
  static_cast<QLabel*>(label->widget.data())->setBuddy(control->widget);
}

void SetIcon(Native* form, const std::string& resource) {
  const std::optional<std::string_view> bytes = Embedded(resource);
  if (!bytes) return;
  QImage icon = DecodeIcon16(*bytes);
  if (icon.isNull())
    icon.loadFromData(reinterpret_cast<const uchar*>(bytes->data()),
                      static_cast<int>(bytes->size()), "ICO");
  if (!icon.isNull()) form->widget->setWindowIcon(QPixmap::fromImage(icon));
}

void Show(Native* form) {
  form->widget->show();
  FramePlacer::Place(form);
}

void Run(Native* mainForm) {
  if (mainForm->widget && mainForm->widget->isVisible()) QApplication::exec();
}

void Quit() { QCoreApplication::quit(); }

void MessageBox(const std::string& utf8Text, const std::string& caption, bool error) {
  Initialize();
  QMessageBox box(error ? QMessageBox::Critical : QMessageBox::NoIcon, Q(caption), Q(utf8Text),
                  QMessageBox::Ok);
  // Ctrl+C copies the box as a Windows message box does, caption and text
  // between rules, so that what it said can be pasted into a report.
  QShortcut copy(QKeySequence::Copy, &box);
  QObject::connect(&copy, &QShortcut::activated, [&box] {
    const QString rule = QStringLiteral("---------------------------\n");
    QGuiApplication::clipboard()->setText(rule + box.windowTitle() + "\n" + rule + box.text() +
                                          "\n" + rule + "OK\n" + rule);
  });
  box.exec();
}

std::string LoadResource(const std::string& name) {
  if (const auto bytes = Embedded(name)) return std::string(*bytes);
  throw Exception("The program holds no resource " + name);
}

std::string ProgramName() {
  return U(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().section('/', -1));
}

}  // namespace gui::backend
