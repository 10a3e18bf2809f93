#include "console/ColorEdit.h"

CColorEdit::CColorEdit()
    : m_strFaceName("宋体"),
      m_nFontHeight(12),
      m_crText(RGB(0, 0, 0)),
      m_crBack(kWindowBackground),
      m_bItalic(0),
      m_bUnderline(0),
      m_bStrikeOut(0),
      m_nWeight(400),
      m_bFontApplied(false) {}

bool CColorEdit::SetFaceName(const std::string& face) {
  m_strFaceName = face;
  m_nFontHeight = 16;
  m_bFontApplied = true;
  return true;
}
