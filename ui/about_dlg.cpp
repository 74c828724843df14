#include "ui/about_dlg.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/chrome.h"
#include "ui/resource.h"

namespace wick::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QString::number(IDD_ABOUT));
  setWindowTitle(QStringLiteral("About"));
  setWindowIcon(AppIcon());

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setPixmap(AppIcon().pixmap(32, 32));

  // Plain text: the version line takes no "&" prefix.
  auto* version = new QLabel(QStringLiteral("Version 1.2"), this);
  version->setObjectName(QStringLiteral("version"));
  version->setTextFormat(Qt::PlainText);
  auto* notice =
      new QLabel(QStringLiteral("Copyright (C) 2009-2026 The Wickflash developers"), this);
  notice->setObjectName(QStringLiteral("notice"));
  notice->setTextFormat(Qt::PlainText);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  SetControlId(*ok, IDOK);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(16);
  grid->addWidget(icon, 0, 0, 2, 1, Qt::AlignTop);
  grid->addWidget(version, 0, 1);
  grid->addWidget(notice, 1, 1);
  grid->addWidget(ok, 0, 2, Qt::AlignTop);
  ok->setFocus();
}

}  // namespace wick::ui
