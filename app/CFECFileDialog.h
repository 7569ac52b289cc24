#pragma once
// The open dialog of the Add File command: several files at once, yielded
// one by one in the dialog's own order through GetStartPosition and
// GetNextPathName. Qt's own (non-native) dialog, so every platform behaves
// the same and tests can drive it.
#include <QFileDialog>
#include <QStringList>

#include <cstdint>
#include <functional>

// Flags of the open dialog, as the command passes them.
constexpr unsigned OFN_HIDEREADONLY = 0x00000004;
constexpr unsigned OFN_ALLOWMULTISELECT = 0x00000200;
constexpr unsigned OFN_EXPLORER = 0x00080000;

// Where GetNextPathName continues; 0 after the last name.
using POSITION = intptr_t;

class CFECFileDialog : public QFileDialog {
  Q_OBJECT
 public:
  // filter: "Description|pattern|...||" pairs, as the command writes them.
  CFECFileDialog(bool open, const QString& defaultExtension, const QString& fileName,
                 unsigned flags, const QString& filter, QWidget* parent = nullptr);

  // IDOK or IDCANCEL.
  int DoModal();
  POSITION GetStartPosition() const;
  QString GetNextPathName(POSITION& position) const;

  // "Description|pattern|..." pairs in Qt's filter form ("Description (pattern)"
  // joined by ";;"); "*.*" becomes "*", which is what it means there.
  static QString ToQtFilter(const QString& filter);
  // The open and save dialogs' filter of AVI files and all files, in the
  // interface language, in the "label|pattern|...||" form.
  static QString AviFilter();

  // The file-name box: what the user typed, or the names the view's selection
  // wrote into it.
  void SetFileNameText(const QString& text);
  QString FileNameText() const;

  // For tests: runs once the dialog is shown, inside DoModal, with the dialog
  // (to fill its file-name box and press a button). Returns the hook replaced.
  using ShowHook = std::function<void(CFECFileDialog*)>;
  static ShowHook SetShowHook(ShowHook hook);

 protected:
  // Labels the dialog's buttons in the interface language.
  void OnInitDone();

 private:
  void CaptureNames();

  QStringList names_;  // full paths, in the dialog's order
};
