#include "Unit1.h"

#include <QTimer>

#include <cstdio>

#include "qt_helpers.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(TComponent* Owner) : TForm(Owner) {
  // Once the loop runs: press the button whose handler throws our exception,
  // then the one that throws a foreign one. Every box is answered and printed.
  // A form whose description failed to load has no buttons to press.
  auto* boxes = new QTimer;
  boxes->setInterval(5);
  QObject::connect(boxes, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      std::printf("box: %s|%s\n", box->windowTitle().toStdString().c_str(),
                  box->text().toStdString().c_str());
      std::fflush(stdout);
      box->accept();
    }
  });
  boxes->start();
  QTimer::singleShot(0, [this] {
    if (!Button1 || !Button3) return;
    Button1->Click();
    Button3->Click();
  });
}

void TForm1::Button1Click(TObject*) { throw Exception("boom"); }
void TForm1::Button3Click(TObject*) { throw 42; }

const gui::FormClass& gui::FormBinding<TForm1>::Class() {
  static const FormClass formClass = FormClass("TFORM1")
                                         .Field("Button1", &TForm1::Button1)
                                         .Field("Button2", &TForm1::Button2)
                                         .Field("Button4", &TForm1::Button4)
                                         .Field("Label1", &TForm1::Label1)
                                         .Field("Label2", &TForm1::Label2)
                                         .Field("rdCOM", &TForm1::rdCOM)
                                         .Field("mSend", &TForm1::mSend)
                                         .Field("mReceive", &TForm1::mReceive)
                                         .Field("Button3", &TForm1::Button3)
                                         .Handler("Button1Click", &TForm1::Button1Click)
                                         .Handler("Button3Click", &TForm1::Button3Click)
                                         .Handler("Button4Click", &TForm1::Button4Click)
                                         .Handler("Button2Click", &TForm1::Button2Click);
  return formClass;
}
