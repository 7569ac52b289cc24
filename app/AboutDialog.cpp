#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QShowEvent>

#include "app/MainDialog.h"
#include "core/LanguageText.h"
#include "controls/SkinBitmaps.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutDialog"));
  setWindowTitle(LanguageText(1106, QStringLiteral("About Splicora")));
  setFixedSize(DluToPixelsX(258), DluToPixelsY(55));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("icon"));
  icon->setGeometry(QRect(DialogRect(7, 11, 20, 20).topLeft(), QSize(32, 32)));
  icon->setPixmap(ApplicationIcon().pixmap(32, 32));

  auto* name = new QLabel(
      LanguageText(1107, QStringLiteral("Splicora - Join avi files. Version %1")).arg(QStringLiteral("1.061")), this);
  name->setObjectName(QStringLiteral("version"));
  name->setTextFormat(Qt::PlainText);
  // Both lines wrap rather than run under OK or out of the box: the Russian
  // ones are longer.
  const QRect okRect = DialogRect(201, 7, 50, 16);
  name->setWordWrap(true);
  name->setGeometry(QRect(DialogRect(40, 10, 133, 8).topLeft() - QPoint(0, 2),
                          QPoint(okRect.left() - 6, okRect.bottom() + 6)));

  auto* notice = new QLabel(
      LanguageText(1108, QStringLiteral("(c) 2026 the Splicora developers. Licence: GPL version 3 or later.")), this);
  notice->setObjectName(QStringLiteral("notice"));
  notice->setTextFormat(Qt::PlainText);
  notice->setWordWrap(true);
  notice->setGeometry(QRect(QPoint(name->x(), okRect.bottom() + 8), QPoint(width() - 8, height() - 4)));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setGeometry(DialogRect(201, 7, 50, 16));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the main window, also where no window manager places dialogs.
  if (QWidget* owner = parentWidget())
    move(owner->window()->frameGeometry().center() -
         QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
}
