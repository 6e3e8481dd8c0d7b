// A form description, whatever its text, is read or refused with Exception:
// never a crash, undefined behaviour or a hang.
#include "gui/form_description.h"

#include <cstdint>
#include <string_view>

#include "gui/gui.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    gui::ParseFormDescription(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const Exception&) {
  }
  return 0;
}
