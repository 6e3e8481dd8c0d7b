// Finding the real widgets of a form and answering its modal boxes, for tests
// that drive the Qt build as a user would.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <string>

namespace test {

// The top-level window with that title.
inline QWidget* WindowTitled(const QString& title) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->windowTitle() == title && w->isWindow() && !qobject_cast<QMessageBox*>(w)) return w;
  return nullptr;
}

// The child of `parent` of type W whose text is `text`.
template <class W>
W* ChildWithText(QWidget* parent, const QString& text) {
  for (W* w : parent->findChildren<W*>())
    if (w->text() == text) return w;
  return nullptr;
}

// Answers every message box that opens while it lives, recording each as
// "caption|text".
class BoxAnswerer {
 public:
  BoxAnswerer() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        seen_.push_back((box->windowTitle() + "|" + box->text()).toStdString());
        box->accept();
      }
    });
    timer_.start();
  }
  const std::vector<std::string>& seen() const { return seen_; }

 private:
  QTimer timer_;
  std::vector<std::string> seen_;
};

}  // namespace test
