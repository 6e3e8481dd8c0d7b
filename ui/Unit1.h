// The main window: the port chooser, the send and receive boxes and the four
// buttons, each handing its click to one operation of the serial link. All
// contents come from the form description TFORM1 (Unit1.form).
#pragma once

#include "gui.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* Owner);

 private:
  friend struct gui::FormBinding<TForm1>;

  TButton* Button1;
  TButton* Button2;
  TButton* Button4;
  TLabel* Label1;
  TLabel* Label2;
  TRadioGroup* rdCOM;
  TMemo* mSend;
  TMemo* mReceive;
  TButton* Button3;

  void Button1Click(TObject* Sender);
  void Button3Click(TObject* Sender);
  void Button4Click(TObject* Sender);
  void Button2Click(TObject* Sender);
};

template <>
struct gui::FormBinding<TForm1> {
  static const FormClass& Class();
};

extern TForm1* Form1;
