// A stand-in for the main window, with the same description and names, whose
// handlers throw: built with the real entry point to see its guard at work.
#pragma once

#include "gui.h"

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* Owner);

  TButton* Button1 = nullptr;
  TButton* Button2 = nullptr;
  TButton* Button4 = nullptr;
  TLabel* Label1 = nullptr;
  TLabel* Label2 = nullptr;
  TRadioGroup* rdCOM = nullptr;
  TMemo* mSend = nullptr;
  TMemo* mReceive = nullptr;
  TButton* Button3 = nullptr;

  void Button1Click(TObject* Sender);  // throws Exception("boom")
  void Button3Click(TObject* Sender);  // throws an int
  void Button4Click(TObject*) {}
  void Button2Click(TObject*) {}
};

template <>
struct gui::FormBinding<TForm1> {
  static const FormClass& Class();
};

extern TForm1* Form1;
