#pragma once
// The save dialog of the Join command, carrying the conversion options: a
// "Recompress" box with the compressor list and its "Setup" button, and a
// "Convert audio to MP3" box, in a strip below the file-name and file-type
// rows of Qt's own (non-native) file dialog.
#include <QFileDialog>
#include <QString>

#include <cstdint>

#include "convert/CodecList.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

class CFileDialogOpt : public QFileDialog {
  Q_OBJECT

 public:
  // Common-dialog flags the dialog honours.
  static constexpr uint32_t OFN_OVERWRITEPROMPT = 0x2;
  static constexpr uint32_t OFN_HIDEREADONLY = 0x4;
  static constexpr uint32_t OFN_EXPLORER = 0x80000;

  // Ids of the added controls.
  static constexpr int IDC_RECOMPRESS = 2000;
  static constexpr int IDC_CODEC_LIST = 2001;
  static constexpr int IDC_SETUP = 2003;
  static constexpr int IDC_CONVERT_AUDIO = 2004;
  static constexpr int IDC_CODEC_LABEL = 0xFFFF;

  // 'divx': the compressor offered when none is remembered.
  static constexpr uint32_t kDefaultCodecHandler = 0x78766964;

  // codecName: the remembered compressor's description, empty when none.
  // filter: "Text|pattern|Text|pattern||" as the common dialogs take it.
  CFileDialogOpt(bool convertAudio, const QString& codecName, const CodecList* codecs, bool open,
                 const QString& defaultExtension, const QString& fileName, uint32_t flags,
                 const QString& filter, int videoWidth, int videoHeight, QWidget* parent = nullptr);
  ~CFileDialogOpt() override;

  // The chosen file, after OK.
  QString GetPathName() const;

  // Fills the compressor list and selects the remembered compressor.
  void FillCodecCombo();
  // The Setup button: the selected compressor's settings dialog and the check
  // that it keeps the clip's frame size.
  void CheckCodecSetup();

  // An added control by its id, or null.
  QWidget* GetDlgItem(int id) const;
  QCheckBox* RecompressBox() const { return recompressBox_; }
  QCheckBox* ConvertAudioBox() const { return convertAudioBox_; }
  QComboBox* CodecCombo() const { return codecCombo_; }
  QPushButton* SetupButton() const { return setupButton_; }
  QLabel* CodecLabel() const { return codecLabel_; }

  // Tests type the file name (selectFile on a visible dialog is ignored) and
  // press Save through accept().
  void SetFileNameForTesting(const QString& name);
  using QFileDialog::accept;

  // The common dialogs' filter as Qt name filters.
  static QStringList NameFilters(const QString& filter);

  uint32_t codecHandler = 0;
  QString codecName;
  bool recompress = false;
  bool codecsListed = false;
  bool convertAudio = false;
  int videoWidth = 0;
  int videoHeight = 0;

 protected:
  void OnInitDone();

 private:
  void OnRecompressClicked();
  void OnCodecSelChange();
  void OnConvertAudioClicked();

  const CodecList* codecs_ = nullptr;
  QCheckBox* recompressBox_ = nullptr;
  QCheckBox* convertAudioBox_ = nullptr;
  QLabel* codecLabel_ = nullptr;
  QComboBox* codecCombo_ = nullptr;
  QPushButton* setupButton_ = nullptr;
};
