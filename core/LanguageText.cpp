#include "core/LanguageText.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTextStream>

#include <atomic>
#include <clocale>
#include <mutex>

// The string table sits in this static library's resources; referencing its
// initialiser keeps the linker from dropping it.
static void InitTextResources() { Q_INIT_RESOURCE(texts); }

namespace {

std::atomic<bool> russianAvailable{false};
std::atomic<int> currentLanguage{kLanguageEnglish};

const QHash<int, QString>& RussianTable() {
  static const QHash<int, QString> table = [] {
    QHash<int, QString> t;
    InitTextResources();
    QFile file(QStringLiteral(":/texts/russian_strings.txt"));
    if (!file.open(QIODevice::ReadOnly)) return t;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    while (!in.atEnd()) {
      QString line = in.readLine();
      if (line.startsWith(QLatin1Char('#'))) continue;
      qsizetype tab = line.indexOf(QLatin1Char('\t'));
      if (tab <= 0) continue;
      bool ok = false;
      int id = line.left(tab).toInt(&ok);
      if (!ok) continue;
      QString text = line.mid(tab + 1);
      text.replace(QStringLiteral("\\r"), QStringLiteral("\r"));
      t.insert(id, text);
    }
    return t;
  }();
  return table;
}

struct Phrase {
  QRegularExpression english;  // anchored; one group per %n, in order of appearance
  QList<int> numbers;          // the %n of each group
  QString russian;
};

// "%1 has no video stream at number %2" -> ^(.+?) has no ... number (.+?)$.
Phrase MakePhrase(const QString& english, const QString& russian) {
  static const QRegularExpression placeholder(QStringLiteral("%(\\d)"));
  Phrase phrase;
  QString pattern = QStringLiteral("^");
  qsizetype at = 0;
  for (auto it = placeholder.globalMatch(english); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    pattern += QRegularExpression::escape(english.mid(at, m.capturedStart() - at)) + QStringLiteral("(.+?)");
    phrase.numbers << m.captured(1).toInt();
    at = m.capturedEnd();
  }
  pattern += QRegularExpression::escape(english.mid(at)) + QLatin1Char('$');
  phrase.english.setPattern(pattern);
  phrase.english.setPatternOptions(QRegularExpression::DotMatchesEverythingOption);
  phrase.russian = russian;
  return phrase;
}

const QList<Phrase>& RussianPhrases() {
  static const QList<Phrase> phrases = [] {
    QList<Phrase> list;
    InitTextResources();
    QFile file(QStringLiteral(":/texts/russian_phrases.txt"));
    if (!file.open(QIODevice::ReadOnly)) return list;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    while (!in.atEnd()) {
      const QString line = in.readLine();
      const qsizetype tab = line.indexOf(QLatin1Char('\t'));
      if (line.startsWith(QLatin1Char('#')) || tab <= 0) continue;
      list << MakePhrase(line.left(tab), line.mid(tab + 1));
    }
    return list;
  }();
  return phrases;
}

QString RussianPhrase(const QString& english, int depth) {
  if (depth > 4) return english;  // inner reasons nest a few levels at most
  for (const Phrase& phrase : RussianPhrases()) {
    const QRegularExpressionMatch m = phrase.english.match(english);
    if (!m.hasMatch()) continue;
    QString russian = phrase.russian;
    // One pass over the form, so that a %n inside a filled-in text stays as it is.
    QString result;
    for (qsizetype i = 0; i < russian.size(); ++i) {
      const int group = i + 1 < russian.size() && russian[i] == QLatin1Char('%') && russian[i + 1].isDigit()
                            ? static_cast<int>(phrase.numbers.indexOf(russian[i + 1].digitValue())) + 1
                            : 0;
      if (group > 0) {
        result += RussianPhrase(m.captured(group), depth + 1);
        ++i;
      } else {
        result += russian[i];
      }
    }
    return result;
  }
  return english;
}

RussianProbe& Probe() {
  static RussianProbe probe = SystemOffersRussian;
  return probe;
}
std::mutex probeMutex;

}  // namespace

QString LanguageText(int id, const QString& english) {
  if (!russianAvailable.load() || currentLanguage.load() != kLanguageRussian) return english;
  QString russian = RussianTableText(id);
  return russian.isEmpty() ? english : russian;
}

QString RussianTableText(int id) { return RussianTable().value(id); }

QString LanguagePhrase(const QString& english) {
  if (!russianAvailable.load() || currentLanguage.load() != kLanguageRussian) return english;
  // Multi-line texts (a reason below a headline) are looked up line by line;
  // one caller at a time, as clips are checked on several threads.
  static std::mutex phraseMutex;
  std::lock_guard lock(phraseMutex);
  QStringList lines = english.split(QLatin1Char('\r'));
  for (QString& line : lines) line = RussianPhrase(line, 0);
  return lines.join(QLatin1Char('\r'));
}

bool RussianAvailable() { return russianAvailable.load(); }
void SetRussianAvailable(bool available) { russianAvailable.store(available); }
int CurrentLanguage() { return currentLanguage.load(); }
void SetCurrentLanguage(int language) { currentLanguage.store(language); }

RussianProbe SetRussianProbe(RussianProbe probe) {
  std::lock_guard lock(probeMutex);
  RussianProbe previous = std::move(Probe());
  Probe() = std::move(probe);
  return previous;
}

bool DetectRussianAvailable() {
  RussianProbe probe;
  {
    std::lock_guard lock(probeMutex);
    probe = Probe();
  }
  bool available = probe && probe();
  SetRussianAvailable(available);
  return available;
}

bool SystemOffersRussian() {
  // A Russian locale must exist on the system ...
  bool locale = false;
  for (const char* name : {"ru_RU.UTF-8", "ru_RU.utf8", "ru_RU"}) {
    // setlocale on a category we restore at once: LC_MONETARY is read by nothing of ours.
    const char* saved = std::setlocale(LC_MONETARY, nullptr);
    std::string previous = saved ? saved : "C";
    if (std::setlocale(LC_MONETARY, name)) {
      locale = true;
      std::setlocale(LC_MONETARY, previous.c_str());
      break;
    }
  }
  if (!locale) return false;
  // ... and a Russian keyboard layout configured for the X session.
  QStringList layouts;
  QProcess setxkbmap;
  setxkbmap.start(QStringLiteral("setxkbmap"), {QStringLiteral("-query")});
  if (setxkbmap.waitForFinished(2000) && setxkbmap.exitCode() == 0) {
    const QStringList lines = QString::fromLocal8Bit(setxkbmap.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& line : lines)
      if (line.startsWith(QStringLiteral("layout:")))
        layouts = line.mid(7).trimmed().split(QLatin1Char(','));
  }
  // The system's default layouts (Debian's keyboard configuration), for
  // sessions that setxkbmap cannot ask.
  QFile keyboard(QStringLiteral("/etc/default/keyboard"));
  if (keyboard.open(QIODevice::ReadOnly)) {
    const QStringList lines = QString::fromUtf8(keyboard.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
      line = line.trimmed();
      if (!line.startsWith(QStringLiteral("XKBLAYOUT="))) continue;
      QString value = line.mid(10);
      value.remove(QLatin1Char('"'));
      value.remove(QLatin1Char('\''));
      layouts += value.split(QLatin1Char(','));
    }
  }
  const QByteArray envLayouts = qgetenv("XKB_DEFAULT_LAYOUT");
  if (!envLayouts.isEmpty()) layouts += QString::fromLatin1(envLayouts).split(QLatin1Char(','));
  for (const QString& layout : layouts)
    if (layout.trimmed() == QStringLiteral("ru")) return true;
  return false;
}
