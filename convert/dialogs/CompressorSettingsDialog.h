#pragma once
// A compressor's configuration dialog, built from the settings it declares.
// OK stores the values with the compressor (the settings file), Cancel
// leaves them as they were.
#include <QDialog>

#include <map>
#include <string>

#include "media/VideoCompressor.h"

class QWidget;

class CompressorSettingsDialog : public QDialog {
  Q_OBJECT

 public:
  CompressorSettingsDialog(const media::CompressorInfo& compressor, QWidget* parent = nullptr);

  // The values the controls show now.
  media::CompressorSettings Values() const;
  // The control of one setting (a QSpinBox or a QComboBox), or null.
  QWidget* Editor(const std::string& key) const;

  void accept() override;

 private:
  media::CompressorInfo compressor_;
  std::map<std::string, QWidget*> editors_;
};
