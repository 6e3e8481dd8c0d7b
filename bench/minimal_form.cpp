// The floor for start-up and memory: the same nine controls with the same
// texts, sizes and caption as the real window, built straight on Qt with
// nothing else (no description to load, no icon, no font choice).
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);

  QWidget form(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  form.setWindowTitle(QStringLiteral("Form1"));
  form.setGeometry(233, 209, 696, 480);
  QFont font = form.font();
  font.setPixelSize(11);
  form.setFont(font);

  auto label = [&](int x, int y, const char* text) {
    (new QLabel(QString::fromUtf8(text), &form))->setGeometry(x, y, 48, 13);
  };
  label(56, 152, "傳送資料");
  label(400, 144, "接收資料");

  auto button = [&](int x, int y, int w, int h, const char* text) {
    (new QPushButton(QString::fromUtf8(text), &form))->setGeometry(x, y, w, h);
  };
  button(272, 40, 145, 81, "開啟通訊埠");
  button(488, 40, 137, 81, "結束系統");
  button(408, 376, 169, 57, "接收資料");
  button(48, 368, 169, 57, "傳送資料");

  auto* group = new QGroupBox(QString::fromUtf8("選擇通訊埠"), &form);
  group->setGeometry(32, 16, 193, 121);
  auto* com1 = new QRadioButton(QStringLiteral("COM1"), group);
  com1->setGeometry(8, 17, 177, 50);
  com1->setChecked(true);
  (new QRadioButton(QStringLiteral("COM2"), group))->setGeometry(8, 67, 177, 50);

  auto memo = [&](int x, int y, int w, const char* text) {
    (new QPlainTextEdit(QString::fromUtf8(text), &form))->setGeometry(x, y, w, 185);
  };
  memo(40, 176, 201, "Memo1");
  memo(368, 168, 217, "Memo2");

  form.show();
  return app.exec();
}
