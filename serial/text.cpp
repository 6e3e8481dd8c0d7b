#include "text.h"

#include "platform.h"

namespace serial {

namespace {

// CR LF, LF and CR each become one CR LF, as the boxes join their lines.
void AppendWithLineBreaks(std::string& text, std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '\r' || c == '\n') {
      text += "\r\n";
      if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') ++i;
    } else {
      text += c;
    }
  }
}

}  // namespace

std::string ReceivedText(std::string_view bytes) {
  std::string text;
  for (;;) {
    const std::size_t zero = bytes.find('\0');
    AppendWithLineBreaks(text, LocalToUtf8(bytes.substr(0, zero)));
    if (zero == std::string_view::npos) return text;
    text += kZeroByteSymbol;
    bytes.remove_prefix(zero + 1);
  }
}

std::size_t Utf8IncompleteTail(std::string_view utf8) {
  // Step back over continuation bytes to the last lead byte, at most three.
  std::size_t continuations = 0;
  while (continuations < 3 && continuations < utf8.size() &&
         (static_cast<unsigned char>(utf8[utf8.size() - 1 - continuations]) & 0xC0) == 0x80)
    ++continuations;
  if (continuations == utf8.size()) return 0;
  const auto lead = static_cast<unsigned char>(utf8[utf8.size() - 1 - continuations]);
  if (lead >= 0xF5) return 0;  // no character starts so
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 1;
  return continuations + 1 < length ? continuations + 1 : 0;
}

}  // namespace serial
