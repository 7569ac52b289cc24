#pragma once
// The About box (template 100): the icon, the name and version, a notice
// line and OK. English only; the language switch leaves it alone.
#include <QDialog>

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};
