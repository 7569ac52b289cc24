#include "convert/dialogs/CFileDialogOpt.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>

#include "core/LanguageText.h"
#include "core/MessageBox.h"
#include "convert/CompressorSettingsStore.h"
#include "convert/dialogs/CompressorSettingsDialog.h"
#include "media/VideoCompressor.h"

CFileDialogOpt::CFileDialogOpt(bool convertAudio, const QString& codecName, const CodecList* codecs,
                               bool open, const QString& defaultExtension, const QString& fileName,
                               uint32_t flags, const QString& filter, int videoWidth, int videoHeight,
                               QWidget* parent)
    : QFileDialog(parent), codecs_(codecs) {
  setObjectName(QStringLiteral("CFileDialogOpt"));
  // Qt's own dialog: its grid layout takes the added rows.
  setOption(QFileDialog::DontUseNativeDialog, true);
  setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  setFileMode(open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (!(flags & OFN_OVERWRITEPROMPT)) setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!defaultExtension.isEmpty()) setDefaultSuffix(defaultExtension);
  const QStringList filters = NameFilters(filter);
  if (!filters.isEmpty()) setNameFilters(filters);
  if (!fileName.isEmpty()) selectFile(fileName);

  this->codecName = codecName.left(kCodecDescriptionMax);
  codecHandler = this->codecName.isEmpty() ? kDefaultCodecHandler : 0;
  recompress = false;
  codecsListed = false;
  this->convertAudio = convertAudio;
  this->videoWidth = videoWidth;
  this->videoHeight = videoHeight;
  OnInitDone();
}

CFileDialogOpt::~CFileDialogOpt() = default;

QStringList CFileDialogOpt::NameFilters(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList result;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    const QString& text = parts[i];
    const QString& pattern = parts[i + 1];
    if (text.isEmpty()) break;  // "||" ends the list
    QString patterns = pattern;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // Qt reads the patterns from the parentheses at the end of the text.
    if (text.endsWith(QLatin1Char('(') + pattern + QLatin1Char(')')) ||
        text.endsWith(QLatin1Char('(') + patterns + QLatin1Char(')')))
      result << text;
    else
      result << text + QStringLiteral(" (") + patterns + QLatin1Char(')');
  }
  return result;
}

void CFileDialogOpt::OnInitDone() {
  auto* grid = qobject_cast<QGridLayout*>(layout());
  auto* fileNameLabel = findChild<QLabel*>(QStringLiteral("fileNameLabel"));
  auto* fileTypeCombo = findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  const QFont font = fileNameLabel ? fileNameLabel->font() : this->font();
  const int rowHeight = fileNameLabel ? fileNameLabel->sizeHint().height() : 20;

  setLabelText(QFileDialog::Accept, LanguageText(163, QStringLiteral("Save")));
  setLabelText(QFileDialog::Reject, LanguageText(164, QStringLiteral("Cancel")));

  recompressBox_ = new QCheckBox(LanguageText(160, QStringLiteral("Recompress")), this);
  codecLabel_ = new QLabel(LanguageText(162, QStringLiteral("Video codec")), this);
  codecCombo_ = new QComboBox(this);
  setupButton_ = new QPushButton(LanguageText(161, QStringLiteral("Setup")), this);
  convertAudioBox_ = new QCheckBox(LanguageText(159, QStringLiteral("Convert audio to MP3")), this);
  const std::pair<QWidget*, int> ids[] = {{recompressBox_, IDC_RECOMPRESS},
                                          {codecLabel_, IDC_CODEC_LABEL},
                                          {codecCombo_, IDC_CODEC_LIST},
                                          {setupButton_, IDC_SETUP},
                                          {convertAudioBox_, IDC_CONVERT_AUDIO}};
  for (const auto& [control, id] : ids) {
    control->setFont(font);
    control->setProperty("controlId", id);
    control->setObjectName(QStringLiteral("ctl%1").arg(id));
  }
  setupButton_->setAutoDefault(false);

  if (grid) {
    // Below the file-type row: the MP3 box under the labels and Recompress
    // under the file-type list; one empty row; the codec label; the list under
    // the file-type list with Setup under the Save/Cancel buttons.
    const int row = grid->rowCount();
    grid->addWidget(convertAudioBox_, row, 0);
    grid->addWidget(recompressBox_, row, 1);
    grid->addItem(new QSpacerItem(0, rowHeight, QSizePolicy::Minimum, QSizePolicy::Fixed), row + 1, 0);
    grid->addWidget(codecLabel_, row + 2, 1);
    grid->addWidget(codecCombo_, row + 3, 1);
    grid->addWidget(setupButton_, row + 3, grid->columnCount() > 2 ? 2 : 1);
    if (fileTypeCombo) codecCombo_->setSizePolicy(fileTypeCombo->sizePolicy());
  }

  codecCombo_->setEnabled(recompress);
  setupButton_->setEnabled(recompress);
  convertAudioBox_->setEnabled(recompress);

  connect(recompressBox_, &QCheckBox::clicked, this, [this] { OnRecompressClicked(); });
  connect(codecCombo_, &QComboBox::activated, this, [this] { OnCodecSelChange(); });
  connect(setupButton_, &QPushButton::clicked, this, [this] { CheckCodecSetup(); });
  connect(convertAudioBox_, &QCheckBox::clicked, this, [this] { OnConvertAudioClicked(); });

  if (convertAudio) convertAudioBox_->setChecked(true);
  if (codecHandler == 0) {
    recompressBox_->setChecked(true);
    OnRecompressClicked();
  }
}

void CFileDialogOpt::OnRecompressClicked() {
  recompress = recompressBox_->isChecked();
  if (!codecsListed) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    FillCodecCombo();
    QApplication::restoreOverrideCursor();
  }
  codecCombo_->setEnabled(recompress);
  setupButton_->setEnabled(recompress);
  convertAudioBox_->setEnabled(recompress);
  // Turning Recompress on (or off) always selects MP3 conversion again.
  convertAudioBox_->setChecked(true);
  convertAudio = true;
}

void CFileDialogOpt::OnCodecSelChange() {
  if (codecCombo_->count() == 0) return;
  codecHandler = codecCombo_->currentData().toUInt();
  codecName = codecCombo_->currentText();
}

void CFileDialogOpt::OnConvertAudioClicked() {
  convertAudio = convertAudioBox_->isChecked();
}

void CFileDialogOpt::FillCodecCombo() {
  codecCombo_->clear();
  if (!codecs_) return;
  for (const CodecEntry& entry : *codecs_) {
    codecCombo_->addItem(entry.description, QVariant::fromValue<uint>(entry.handler));
    const int index = codecCombo_->count() - 1;
    if (index == 0) codecCombo_->setCurrentIndex(0);
    // The last entry that matches wins; the name is compared first.
    if (codecName == entry.description) {
      codecCombo_->setCurrentIndex(index);
      codecHandler = entry.handler;
    } else if (codecHandler == entry.handler) {
      codecCombo_->setCurrentIndex(index);
      codecName = entry.description;
    }
  }
  codecsListed = true;
  // The compressor shown is the compressor taken, also when the remembered
  // one is not listed and the first one is shown in its place: Setup and the
  // run then work on what the user sees.
  if (codecCombo_->count() > 0) OnCodecSelChange();
}

void CFileDialogOpt::CheckCodecSetup() {
  const media::CompressorInfo* compressor = media::LocateCompressor(codecHandler, videoWidth, videoHeight);
  if (!compressor || !compressor->Configurable()) return;
  CompressorSettingsDialog settings(*compressor, this);
  if (settings.exec() != QDialog::Accepted) return;
  media::CompressedFormat format;
  if (!media::GetCompressedFormat(*compressor, videoWidth, videoHeight, settings.Values(), format)) {
    ShowMessageBox(this, QStringLiteral("Error open compressor!"), ApplicationName(), MB_ICONWARNING);
    return;
  }
  if (format.header.biWidth != videoWidth || format.header.biHeight != videoHeight)
    ShowMessageBox(this, QStringLiteral("Codec dosn't support this format. \nPlease check codec settings..."),
                   QStringLiteral("Video codec"), MB_ICONWARNING);
}

QWidget* CFileDialogOpt::GetDlgItem(int id) const {
  for (QWidget* control : {static_cast<QWidget*>(recompressBox_), static_cast<QWidget*>(codecLabel_),
                           static_cast<QWidget*>(codecCombo_), static_cast<QWidget*>(setupButton_),
                           static_cast<QWidget*>(convertAudioBox_)})
    if (control && control->property("controlId").toInt() == id) return control;
  return nullptr;
}

QString CFileDialogOpt::GetPathName() const {
  return selectedFiles().value(0);
}

void CFileDialogOpt::SetFileNameForTesting(const QString& name) {
  if (auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) edit->setText(name);
}
