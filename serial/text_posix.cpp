// The locale's text conversions on POSIX: the 8-bit text the line carries is
// the locale's encoding (UTF-8 in practice); the window's text is UTF-8. Must
// match the Win32 backend: a character the encoding can't decode shows as one
// replacement, and a character cut at the end is told from a wrong one.
#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.h"
#include "text.h"

namespace serial {

namespace {
// Converts with iconv, stepping one byte past anything the source encoding
// can't decode, which becomes `replacement`. `incomplete`, when given, learns
// how many bytes at the end start a character they don't finish.
std::string Convert(std::string_view in, const char* to, const char* from,
                    std::string_view replacement = "\xEF\xBF\xBD",
                    std::size_t* incomplete = nullptr) {
  iconv_t cd = iconv_open(to, from);
  // Its failure is (iconv_t)-1, told by the pointer's value as an integer.
  if (reinterpret_cast<std::intptr_t>(cd) == -1) return std::string(in);
  std::string out;
  char buffer[256];
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      if (errno == EINVAL && incomplete) {
        *incomplete = srcLeft;
        break;
      }
      out += replacement;
      ++src;
      --srcLeft;
    }
  }
  iconv_close(cd);
  return out;
}

// The locale's encoding, or nothing when text passes as UTF-8 unchanged (a
// UTF-8 locale, or the plain C locale, which the toolkit treats as UTF-8).
const char* LocaleEncoding() {
  const char* codeset = nl_langinfo(CODESET);
  if (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
    return nullptr;
  return codeset;
}

}  // namespace

std::string LocalToUtf8(std::string_view local) {
  const char* encoding = LocaleEncoding();
  return encoding ? Convert(local, "UTF-8", encoding) : std::string(local);
}

std::string Utf8ToLocal(std::string_view utf8) {
  const char* encoding = LocaleEncoding();
  if (!encoding) return std::string(utf8);
  // Characters the locale can't hold become the nearest it can, or '?'.
  return Convert(utf8, (std::string(encoding) + "//TRANSLIT").c_str(), "UTF-8", "?");
}

std::string Big5ToUtf8(std::string_view big5) { return Convert(big5, "UTF-8", "BIG5"); }

std::size_t IncompleteTail(std::string_view local) {
  const char* encoding = LocaleEncoding();
  if (!encoding) return Utf8IncompleteTail(local);
  // iconv tells a cut character at the end from a wrong one; decoding from
  // the start keeps double-byte pairs in step.
  std::size_t incomplete = 0;
  Convert(local, "UTF-8", encoding, "?", &incomplete);
  return incomplete;
}

}  // namespace serial
