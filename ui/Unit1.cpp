#include "Unit1.h"

#include "serial.h"

TForm1* Form1 = nullptr;

namespace {

// The link's two messages appear in the toolkit's message box.
[[maybe_unused]] const bool kMessagesInWindowBoxes =
    (serial::SetAlertSink(gui::ShowMessageBox), true);

}  // namespace

TForm1::TForm1(TComponent* Owner) : TForm(Owner) {}

void TForm1::Button1Click(TObject*) { serial::Open(rdCOM->ItemIndex()); }

void TForm1::Button3Click(TObject*) { serial::Send(mSend->Text()); }

void TForm1::Button4Click(TObject*) {
  if (auto text = serial::Receive()) mReceive->SetText(*text);
}

void TForm1::Button2Click(TObject*) { serial::Exit(); }

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
