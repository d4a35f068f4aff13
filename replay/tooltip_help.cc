// Button tooltips.
#include "replay/tooltip_help.h"

namespace kvreplay {
namespace {

constexpr qsizetype kMaxTipChars = 1023;

}  // namespace

void CToopTipHelp::Create(QWidget* parent) {
  m_parent = parent;
  if (m_parent != nullptr) m_parent->setAttribute(Qt::WA_AlwaysShowToolTips);
}

bool CToopTipHelp::AddControlTip(const QString& text, int id) {
  if (m_parent == nullptr) return false;
  QWidget* control = m_parent->findChild<QWidget*>(QString::number(id));
  if (control == nullptr) return false;
  control->setToolTip(text.left(kMaxTipChars));
  return true;
}

}  // namespace kvreplay
