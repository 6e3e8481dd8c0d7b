// How received bytes become the receive box's text.
#pragma once

#include <string>
#include <string_view>

namespace serial {

// U+2400 SYMBOL FOR NULL, shown in place of each zero byte.
inline constexpr std::string_view kZeroByteSymbol = "\xE2\x90\x80";

// The bytes as UTF-8 text: each run between zero bytes decoded from the
// platform's 8-bit text, each zero byte shown as kZeroByteSymbol.
std::string ReceivedText(std::string_view bytes);

}  // namespace serial
