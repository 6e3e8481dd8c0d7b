// The Win32 backend's fonts. GDI does no font linking for our controls, so
// the face a form asks for is taken only where it shows every caption; else
// the first installed face that does, Chinese-capable ones first.
#include "gui_win32_font.h"

#include <algorithm>
#include <iterator>

namespace gui::backend {

namespace {

int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool FaceInstalled(HDC dc, const std::wstring& face) {
  LOGFONTW query{};
  query.lfCharSet = DEFAULT_CHARSET;
  face.copy(query.lfFaceName, LF_FACESIZE - 1);
  bool found = false;
  EnumFontFamiliesExW(dc, &query, FaceFound, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

// True when the font selected into `dc` has a glyph for every printable
// character: GDI does no font linking for our controls, so a missing glyph is
// drawn as a box.
bool ShowsAll(HDC dc, const std::vector<std::wstring>& texts) {
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  for (const std::wstring& text : texts) {
    std::wstring printable;
    std::copy_if(text.begin(), text.end(), std::back_inserter(printable),
                 [](wchar_t c) { return c >= L' '; });
    if (printable.empty()) continue;
    std::vector<WORD> glyphs(printable.size());
    if (GetGlyphIndicesW(dc, printable.c_str(), static_cast<int>(printable.size()), glyphs.data(),
                         GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR) {
      // A raster font has no glyph table: its character range is what it shows.
      if (std::any_of(printable.begin(), printable.end(),
                      [&](wchar_t c) { return c < metrics.tmFirstChar || c > metrics.tmLastChar; }))
        return false;
      continue;
    }
    if (std::find(glyphs.begin(), glyphs.end(), WORD{0xFFFF}) != glyphs.end()) return false;
  }
  return true;
}

HFONT MakeFont(const std::wstring& face, int height) {
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

}  // namespace

// The face asked for if it is installed and shows every text, else the first
// Chinese-capable face that does; the system's GUI font as the last resort.
HFONT PickFont(const std::wstring& face, int height, const std::vector<std::wstring>& texts) {
  static const wchar_t* const kFallbacks[] = {L"Microsoft JhengHei UI",
                                              L"Microsoft JhengHei",
                                              L"PMingLiU",
                                              L"MingLiU",
                                              L"Noto Sans CJK TC",
                                              L"Noto Sans TC",
                                              L"Noto Sans CJK JP",
                                              L"Noto Sans CJK SC",
                                              L"Microsoft YaHei UI",
                                              L"SimSun",
                                              L"Droid Sans Fallback",
                                              L"WenQuanYi Micro Hei"};
  std::vector<std::wstring> faces;
  if (!face.empty()) faces.push_back(face);
  faces.insert(faces.end(), std::begin(kFallbacks), std::end(kFallbacks));

  HDC dc = CreateCompatibleDC(nullptr);
  HFONT chosen = nullptr;
  for (const std::wstring& name : faces) {
    if (!FaceInstalled(dc, name)) continue;
    HFONT candidate = MakeFont(name, height);
    HGDIOBJ previous = SelectObject(dc, candidate);
    const bool fits = ShowsAll(dc, texts);
    SelectObject(dc, previous);
    if (fits) {
      chosen = candidate;
      break;
    }
    DeleteObject(candidate);
  }
  DeleteDC(dc);
  if (!chosen) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = height;
    chosen = CreateFontIndirectW(&metrics.lfMessageFont);
  }
  return chosen;
}

}  // namespace gui::backend
