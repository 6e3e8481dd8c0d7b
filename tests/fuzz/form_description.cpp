// The main window loaded from a form description, whatever its text: read and
// built, or refused with Exception; never a crash, undefined behaviour, leak
// or hang.
#include <cstdint>
#include <string_view>

#include "Unit1.h"
#include "gui.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TForm1 form(nullptr);
  try {
    gui::FormBinding<TForm1>::Class().Load(form, {reinterpret_cast<const char*>(data), size});
  } catch (const Exception&) {
  }
  return 0;
}
