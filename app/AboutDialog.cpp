#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/MainDialog.h"
#include "controls/SkinBitmaps.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutDialog"));
  setWindowTitle(QStringLiteral("About Splicora"));
  setFixedSize(DluToPixelsX(258), DluToPixelsY(55));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setGeometry(QRect(DialogRect(7, 11, 20, 20).topLeft(), QSize(32, 32)));
  icon->setPixmap(ApplicationIcon().pixmap(32, 32));

  auto* name = new QLabel(QStringLiteral("Splicora - Join avi files. Version 1.061"), this);
  name->setObjectName(QStringLiteral("version"));
  name->setTextFormat(Qt::PlainText);
  name->setGeometry(DialogRect(40, 10, 133, 8).adjusted(0, -2, 60, 4));

  auto* notice = new QLabel(QStringLiteral("(c) 2026 the Splicora developers."),
                            this);
  notice->setObjectName(QStringLiteral("notice"));
  notice->setTextFormat(Qt::PlainText);
  notice->setGeometry(DialogRect(40, 25, 172, 8).adjusted(0, -2, 80, 4));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(DialogRect(201, 7, 50, 16));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
