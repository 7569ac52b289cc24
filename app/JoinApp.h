#pragma once
// The application object: prepares what the program needs, decides the
// interface language, reads the two settings, runs the main dialog modally
// for the whole run, then writes the settings back.
#include <QString>
#include <QStringList>

#include <memory>

class QApplication;

class JoinApp {
 public:
  // Creates the QApplication unless one exists already. settingsFile: the INI
  // file to use; when empty, $SPLICORA_SETTINGS, else splicora.ini in the
  // user's configuration folder.
  JoinApp(int& argc, char** argv, const QString& settingsFile = QString());
  virtual ~JoinApp();
  JoinApp(const JoinApp&) = delete;
  JoinApp& operator=(const JoinApp&) = delete;

  // Runs the program: start-up, the modal main dialog, shutdown. Returns
  // false, the program ends after it.
  bool InitInstance();

  QString SettingsFile() const { return settingsFile_; }

  // The two settings, section "Splicora".
  struct Settings {
    int language = -1;  // "Lang": 0 English, 1 Russian, negative: not chosen yet
    QString codec;      // "Codec"
  };
  Settings ReadSettings() const;
  void WriteSettings(int language, const QString& codec) const;

  // The interface language for a stored "Lang" value: a negative one picks
  // Russian where it is offered, English elsewhere; others stay as they are.
  static int LanguageFromSetting(int stored, bool russianAvailable);

  // The running application object, or null.
  static JoinApp* Instance();

  // F1: opens HelpEN.htm or HelpRU.htm in the interface language.
  void ShowHelp();

  // Files named on the command line (`splicora FILE...`), absolute; the
  // window adds them as Add File would.
  QStringList commandLineFiles;

  // Fields of the design.
  QString startDirectory;  // working directory at construction (help pages live there)
  bool helpBusy = false;

 private:
  std::unique_ptr<QApplication> ownedApp_;
  QString settingsFile_;
};
