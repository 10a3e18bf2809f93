// The style of one coloured edit control: font face, cell height, weight,
// flags and the two colours. The frontends draw the log and the answer box
// from it; the wizard sets it up once (green on black, face "宋体", 16 px).
#pragma once

#include <cstdint>
#include <string>

using COLORREF = std::uint32_t;  // 0x00BBGGRR

constexpr COLORREF RGB(unsigned r, unsigned g, unsigned b) {
  return (r & 0xFFu) | ((g & 0xFFu) << 8) | ((b & 0xFFu) << 16);
}
constexpr unsigned GetRValue(COLORREF c) { return c & 0xFFu; }
constexpr unsigned GetGValue(COLORREF c) { return (c >> 8) & 0xFFu; }
constexpr unsigned GetBValue(COLORREF c) { return (c >> 16) & 0xFFu; }

// The system's window background before a control is coloured: white.
constexpr COLORREF kWindowBackground = RGB(255, 255, 255);

class CColorEdit {
 public:
  CColorEdit();

  // Stores the face and sets the cell height to 16. A frontend that lacks the
  // face draws with the nearest font it has, so this always succeeds.
  bool SetFaceName(const std::string& face);
  void SetTextColor(COLORREF colour) { m_crText = colour; }
  void SetBackColor(COLORREF colour) { m_crBack = colour; }

  std::string m_strFaceName;
  int m_nFontHeight;
  COLORREF m_crText;
  COLORREF m_crBack;
  int m_bItalic;
  int m_bUnderline;
  int m_bStrikeOut;
  int m_nWeight;
  bool m_bFontApplied;  // a face set by SetFaceName is in use
};
