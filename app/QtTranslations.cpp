#include "app/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <memory>

namespace {
std::unique_ptr<QTranslator>& Installed() {
  static std::unique_ptr<QTranslator> translator;
  return translator;
}
}  // namespace

bool UseQtTranslations(bool russian) {
  std::unique_ptr<QTranslator>& installed = Installed();
  if (!russian) {
    if (installed) QCoreApplication::removeTranslator(installed.get());
    installed.reset();
    return false;
  }
  if (installed) return true;
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(QStringLiteral("qtbase_ru"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  QCoreApplication::installTranslator(translator.get());
  installed = std::move(translator);
  return true;
}
