#pragma once
// Qt's own texts (file dialogs, message-box buttons) in the interface
// language: qtbase_ru.qm from Qt's translations folder while Russian is on.

// Installs the Russian translator, or removes it; true when Russian Qt texts
// are in use afterwards.
bool UseQtTranslations(bool russian);
