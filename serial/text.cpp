#include "serial/text.h"

#include "serial/platform.h"

namespace serial {

std::string ReceivedText(std::string_view bytes) {
  std::string text;
  for (;;) {
    const std::size_t zero = bytes.find('\0');
    text += LocalToUtf8(bytes.substr(0, zero));
    if (zero == std::string_view::npos) return text;
    text += kZeroByteSymbol;
    bytes.remove_prefix(zero + 1);
  }
}

}  // namespace serial
