// The program's entry: the application object, the main window, the message
// loop. Whatever escapes them is shown once; the exit status is always 0.
#include "Unit1.h"
#include "gui.h"

int main() {
  try {
    Application->Initialize();
    Application->CreateForm(Form1);
    Application->Run();
  } catch (Exception& E) {
    Application->ShowException(&E);
  } catch (...) {
    try {
      throw Exception("");
    } catch (Exception& E) {
      Application->ShowException(&E);
    }
  }
  return 0;
}
