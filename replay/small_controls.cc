// The device address field and the path line.
#include "replay/small_controls.h"

#include <QPainter>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

#include "replay/record_names.h"

namespace kvreplay {

CIpAddressCtrl::CIpAddressCtrl(QWidget* parent) : QLineEdit(parent) {
  setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("\\d{0,3}(\\.\\d{0,3}){0,3}")), this));
  setMaxLength(15);
}

uint32_t CIpAddressCtrl::Address() const { return ParseIpAddressText(text()); }

CPathLabel::CPathLabel(QWidget* parent, bool elide) : QLabel(parent), m_elide(elide) {
  setTextFormat(Qt::PlainText);
}

void CPathLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  const QString shown =
      m_elide ? fontMetrics().elidedText(text(), Qt::ElideRight, area.width()) : text();
  painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

}  // namespace kvreplay
