#include "ui/chrome.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

#include "ui/resource.h"

namespace wick::ui {

QString LoadString(int id) {
  if (id == IDS_ABOUT_ITEM) {
    return QStringLiteral("&About ...");
  }
  return {};
}

QAction* AddAboutItem(QMenu& menu, const QString& text) {
  if (text.isEmpty()) {
    return nullptr;
  }
  menu.addSeparator();
  QAction* about = menu.addAction(text);
  about->setData(ID_ABOUT_CMD);
  return about;
}

QIcon AppIcon() {
  QIcon icon;
  icon.addFile(QStringLiteral(":/icons/wickflash-32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/icons/wickflash-16.png"), QSize(16, 16));
  return icon;
}

void SetControlId(QWidget& control, int id) {
  control.setObjectName(QString::number(id));
  control.setProperty("controlId", id);
}

}  // namespace wick::ui
