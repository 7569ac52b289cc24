#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <map>
#include <string>

#include "core/LanguageText.h"
#include "cli/Commands.h"

namespace {

struct Command {
  std::string usage;
  CommandFunction run;
};

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

int Usage() {
  std::fprintf(stderr, "usage:\n");
  for (const auto& [name, command] : Registry()) std::fprintf(stderr, "  splicora-cli %s\n", command.usage.c_str());
  return 2;
}

}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* usage, CommandFunction run) {
  Registry()[name] = Command{usage, std::move(run)};
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) return Usage();
  auto it = Registry().find(args.first().toStdString());
  if (it == Registry().end()) return Usage();
  // The command line speaks English: the interface texts are the English literals.
  SetCurrentLanguage(kLanguageEnglish);
  return it->second.run(args.mid(1));
}
