#pragma once
// The About box (template 100): the icon, the name and version, a notice
// line and OK, in the interface language current when it opens.
#include <QDialog>

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;
};
