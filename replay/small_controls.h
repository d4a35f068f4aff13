// Two small controls of the dialog: the device address field and the path line.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <cstdint>

namespace kvreplay {

// An IPv4 address field: up to four dot-separated numbers; its value puts the first in the top
// byte, and an empty field is 0.
class CIpAddressCtrl : public QLineEdit {
 public:
  explicit CIpAddressCtrl(QWidget* parent);
  uint32_t Address() const;
};

// A one-line text that ends with "..." when it does not fit (when elide is set), else is cut.
class CPathLabel : public QLabel {
 public:
  CPathLabel(QWidget* parent, bool elide);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool m_elide;
};

}  // namespace kvreplay
