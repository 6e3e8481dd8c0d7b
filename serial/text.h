// How received bytes become the receive box's text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace serial {

// U+2400 SYMBOL FOR NULL, shown in place of each zero byte.
inline constexpr std::string_view kZeroByteSymbol = "\xE2\x90\x80";

// The bytes as UTF-8 text: each run between zero bytes decoded from the
// platform's 8-bit text, each zero byte shown as kZeroByteSymbol, and every
// line break the line sent (CR LF, a lone LF, a lone CR) as CR LF.
std::string ReceivedText(std::string_view bytes);

// How many bytes at the end of UTF-8 text begin a character that they don't
// complete: 0 to 3.
std::size_t Utf8IncompleteTail(std::string_view utf8);

}  // namespace serial
