// Tooltips of the dialog's icon buttons, shown even while the dialog is not the active window.
#pragma once

#include <QString>
#include <QWidget>

namespace kvreplay {

class CToopTipHelp {
 public:
  // Attaches to the parent whose children get tips.
  void Create(QWidget* parent);
  // Gives the parent's child with object name id (its control id) the tip text (cut to 1023
  // characters); false when there is no such child.
  bool AddControlTip(const QString& text, int id);

 private:
  QWidget* m_parent = nullptr;
};

}  // namespace kvreplay
