// The About box: the icon, the version and the legal notice, and OK.
#pragma once

#include <QDialog>

namespace wick::ui {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace wick::ui
