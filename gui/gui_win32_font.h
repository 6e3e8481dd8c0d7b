// The Win32 backend's choice of font for a form's captions.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace gui::backend {

// `face` at `height` (device pixels, negative for the character height) if it
// is installed and shows every text, else the first Chinese-capable face that
// does; the system's message font as the last resort. The caller owns it.
HFONT PickFont(const std::wstring& face, int height, const std::vector<std::wstring>& texts);

}  // namespace gui::backend
