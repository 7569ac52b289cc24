#pragma once
// Header only: the tests that use it link the core library.
#include "core/LanguageText.h"

namespace testsupport {

// Switches the interface language for one test and back.
class Language {
 public:
  explicit Language(int language) {
    SetRussianAvailable(true);
    SetCurrentLanguage(language);
  }
  ~Language() {
    SetCurrentLanguage(kLanguageEnglish);
    SetRussianAvailable(false);
  }
  Language(const Language&) = delete;
  Language& operator=(const Language&) = delete;
};

}  // namespace testsupport
