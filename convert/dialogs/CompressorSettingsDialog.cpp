#include "convert/dialogs/CompressorSettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QSpinBox>
#include <QVBoxLayout>

#include "convert/CompressorSettingsStore.h"
#include "core/LanguageText.h"

namespace {

// A setting's label in the interface language: the compressors name their
// settings in English, by key.
QString SettingLabel(const media::CompressorSetting& setting) {
  static const struct {
    const char* key;
    int id;
  } kLabels[] = {{"quality", 1113}, {"keyint", 1114}, {"preset", 1115},
                 {"crf", 1116},     {"coder", 1117},  {"pred", 1118}};
  const QString english = QString::fromStdString(setting.label);
  for (const auto& label : kLabels)
    if (setting.key == label.key) return LanguageText(label.id, english);
  return english;
}

}  // namespace

CompressorSettingsDialog::CompressorSettingsDialog(const media::CompressorInfo& compressor, QWidget* parent)
    : QDialog(parent), compressor_(compressor) {
  setWindowTitle(QString::fromStdString(compressor_.description));
  setObjectName(QStringLiteral("CompressorSettingsDialog"));
  const media::CompressorSettings values = LoadCompressorSettings(compressor_.handler);

  auto* form = new QFormLayout;
  for (const media::CompressorSetting& setting : compressor_.settings) {
    const QString value =
        QString::fromStdString(values.count(setting.key) ? values.at(setting.key) : setting.defaultValue);
    QWidget* editor = nullptr;
    if (setting.kind == media::CompressorSetting::Kind::Number) {
      auto* spin = new QSpinBox(this);
      spin->setRange(setting.minimum, setting.maximum);
      spin->setValue(value.toInt());
      editor = spin;
    } else {
      auto* combo = new QComboBox(this);
      for (const std::string& choice : setting.choices) combo->addItem(QString::fromStdString(choice));
      combo->setCurrentText(value);
      editor = combo;
    }
    editor->setObjectName(QString::fromStdString(setting.key));
    editors_[setting.key] = editor;
    form->addRow(SettingLabel(setting), editor);
  }

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CompressorSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CompressorSettingsDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

media::CompressorSettings CompressorSettingsDialog::Values() const {
  media::CompressorSettings values;
  for (const auto& [key, editor] : editors_) {
    if (auto* spin = qobject_cast<QSpinBox*>(editor))
      values[key] = std::to_string(spin->value());
    else if (auto* combo = qobject_cast<QComboBox*>(editor))
      values[key] = combo->currentText().toStdString();
  }
  return values;
}

QWidget* CompressorSettingsDialog::Editor(const std::string& key) const {
  auto it = editors_.find(key);
  return it == editors_.end() ? nullptr : it->second;
}

void CompressorSettingsDialog::accept() {
  SaveCompressorSettings(compressor_.handler, Values());
  QDialog::accept();
}
