// The link's two messages: Traditional Chinese texts in code page 950 (Big5)
// bytes, with plain ASCII captions.
#pragma once

#include <string_view>

namespace serial {

struct Message {
  std::string_view big5Text;
  std::string_view caption;
};

// 開啟通訊埠錯誤!! -- opening the communication port failed.
inline constexpr Message kOpenError{"\xB6\x7D\xB1\xD2\xB3\x71\xB0\x54\xB0\xF0\xBF\xF9\xBB\x7E!!",
                                    "Comm Error"};

// 通訊埠設定錯誤!!! -- setting up the communication port failed.
inline constexpr Message kSetError{"\xB3\x71\xB0\x54\xB0\xF0\xB3\x5D\xA9\x77\xBF\xF9\xBB\x7E!!!",
                                   "Set Error"};

}  // namespace serial
