#include "app/CFECFileDialog.h"

#include <QDir>
#include <QLineEdit>
#include <QTimer>

#include "core/LanguageText.h"
#include "core/MessageBox.h"

namespace {

CFECFileDialog::ShowHook& Hook() {
  static CFECFileDialog::ShowHook hook;
  return hook;
}

QLineEdit* FileNameEdit(const QFileDialog* dialog) {
  return dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

// The names of the file-name box: each one between double quotes, or the
// whole text when it holds no quote.
QStringList SplitNames(const QString& text) {
  QStringList names;
  const QString trimmed = text.trimmed();
  if (!trimmed.contains(QLatin1Char('"'))) {
    // Blanks at either end belong to the name the dialog accepted.
    if (!trimmed.isEmpty()) names << text;
    return names;
  }
  qsizetype at = 0;
  while (true) {
    const qsizetype open = trimmed.indexOf(QLatin1Char('"'), at);
    if (open < 0) break;
    const qsizetype close = trimmed.indexOf(QLatin1Char('"'), open + 1);
    if (close < 0) break;
    const QString name = trimmed.mid(open + 1, close - open - 1);
    if (!name.isEmpty()) names << name;
    at = close + 1;
  }
  return names;
}

}  // namespace

CFECFileDialog::CFECFileDialog(bool open, const QString& defaultExtension,
                               const QString& fileName, unsigned flags, const QString& filter,
                               QWidget* parent)
    : QFileDialog(parent) {
  setOption(QFileDialog::DontUseNativeDialog);
  setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  setFileMode(!open ? QFileDialog::AnyFile
              : (flags & OFN_ALLOWMULTISELECT) ? QFileDialog::ExistingFiles
                                               : QFileDialog::ExistingFile);
  if (!defaultExtension.isEmpty()) setDefaultSuffix(defaultExtension);
  if (!fileName.isEmpty()) selectFile(fileName);
  if (!filter.isEmpty()) setNameFilter(ToQtFilter(filter));
  // Extensions match in any letter case, as the clips' own test does.
  setFilter(this->filter() & ~QDir::CaseSensitive);
}

QString CFECFileDialog::AviFilter() {
  return LanguageText(1111, QStringLiteral("AVI Files")) + QStringLiteral(" (*.avi)|*.avi|") +
         LanguageText(1112, QStringLiteral("All Files")) + QStringLiteral(" (*.*)|*.*||");
}

QString CFECFileDialog::ToQtFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString description = parts[i];
    if (description.isEmpty()) break;  // the closing "||"
    QStringList patterns;
    for (QString pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      pattern = pattern.trimmed();
      patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
    }
    // Qt reads the patterns from the last parentheses of the text.
    QString label = description;
    const qsizetype paren = label.lastIndexOf(QLatin1Char('('));
    if (paren > 0 && label.endsWith(QLatin1Char(')'))) label = label.left(paren).trimmed();
    filters << label + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

void CFECFileDialog::OnInitDone() {
  setLabelText(QFileDialog::Accept, LanguageText(165, QStringLiteral("Open")));
  setLabelText(QFileDialog::Reject, LanguageText(164, QStringLiteral("Cancel")));
}

int CFECFileDialog::DoModal() {
  names_.clear();
  OnInitDone();
  if (Hook()) QTimer::singleShot(0, this, [this] { if (Hook()) Hook()(this); });
  const int result = exec();
  if (result != QDialog::Accepted) return IDCANCEL;
  CaptureNames();
  return names_.isEmpty() ? IDCANCEL : IDOK;
}

void CFECFileDialog::CaptureNames() {
  // The box holds the names in the order the dialog gives them: as typed, or
  // as the view's selection wrote them. Without a box, Qt's own selection.
  const QStringList typed = SplitNames(FileNameText());
  if (typed.isEmpty()) {
    names_ = selectedFiles();
    return;
  }
  const QDir folder = directory();
  for (const QString& name : typed)
    names_ << QDir::cleanPath(QDir::isAbsolutePath(name) ? name : folder.absoluteFilePath(name));
}

POSITION CFECFileDialog::GetStartPosition() const { return names_.isEmpty() ? 0 : 1; }

QString CFECFileDialog::GetNextPathName(POSITION& position) const {
  if (position <= 0 || position > names_.size()) {
    position = 0;
    return QString();
  }
  const QString name = names_[position - 1];
  position = position < names_.size() ? position + 1 : 0;
  return name;
}

void CFECFileDialog::SetFileNameText(const QString& text) {
  if (QLineEdit* edit = FileNameEdit(this)) edit->setText(text);
}

QString CFECFileDialog::FileNameText() const {
  const QLineEdit* edit = FileNameEdit(this);
  return edit ? edit->text() : QString();
}

CFECFileDialog::ShowHook CFECFileDialog::SetShowHook(ShowHook hook) {
  ShowHook old = std::move(Hook());
  Hook() = std::move(hook);
  return old;
}
