#pragma once
// The two interface languages. English texts are literals at the call site;
// the Russian ones come from the string table in res/ (ids 135 to 168).
#include <QString>
#include <functional>

constexpr int kLanguageEnglish = 0;
constexpr int kLanguageRussian = 1;
constexpr unsigned short kRussianLangId = 0x0419;

// The Russian entry when Russian is both available and active (current
// language exactly 1), otherwise the English literal. A missing entry leaves
// the English literal.
QString LanguageText(int id, const QString& english);

// A text the join engine wrote in English (media/ and directjoin/ know no
// languages), in the current language: its Russian form from the phrase
// table in res/ when Russian is active and the text matches a phrase (the
// parts a phrase leaves open translated in their turn), otherwise unchanged.
QString LanguagePhrase(const QString& english);

// The Russian string-table entry, or a null string when there is none.
QString RussianTableText(int id);

bool RussianAvailable();
void SetRussianAvailable(bool available);
int CurrentLanguage();
void SetCurrentLanguage(int language);

// Whether the system can offer Russian: a Russian locale present and a Russian
// keyboard layout configured. Tests replace the probe.
using RussianProbe = std::function<bool()>;
RussianProbe SetRussianProbe(RussianProbe probe);  // returns the one replaced
bool DetectRussianAvailable();                     // runs the probe, records the result

// The probe used when none is installed: looks at the system's locales and
// X keyboard layouts.
bool SystemOffersRussian();
