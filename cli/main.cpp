#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <map>
#include <string>

#include "cli/Commands.h"
#include "core/LanguageText.h"
#include "media/FfmpegLog.h"

namespace {

struct Command {
  std::string usage;
  CommandFunction run;
};

std::map<std::string, Command>& Registry() {
  static std::map<std::string, Command> commands;
  return commands;
}

const char kGlobalOptions[] =
    "options:\n"
    "  -h, --help     this text (after a command: that command's usage)\n"
    "  --version      the version\n"
    "  --verbose      let FFmpeg's own log lines through to stderr\n";

void PrintUsage(FILE* stream) {
  std::fprintf(stream, "usage:\n");
  for (const auto& [name, command] : Registry())
    std::fprintf(stream, "  splicora-cli %s\n", command.usage.c_str());
  std::fprintf(stream, "%s", kGlobalOptions);
}

bool IsHelp(const QString& arg) {
  return arg == QStringLiteral("-h") || arg == QStringLiteral("--help");
}

// Takes --verbose out of the arguments (not after "--"); true when it was there.
bool TakeVerbose(QStringList& args) {
  bool verbose = false;
  for (qsizetype i = 0; i < args.size() && args[i] != QStringLiteral("--");) {
    if (args[i] == QStringLiteral("--verbose")) {
      args.removeAt(i);
      verbose = true;
    } else {
      ++i;
    }
  }
  return verbose;
}

}  // namespace

CommandRegistration::CommandRegistration(const char* name, const char* usage, CommandFunction run) {
  Registry()[name] = Command{usage, std::move(run)};
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  media::SetFfmpegLogging(TakeVerbose(args));
  if (args.isEmpty()) {
    PrintUsage(stderr);
    return 2;
  }
  if (IsHelp(args.first())) {
    PrintUsage(stdout);
    return 0;
  }
  if (args.first() == QStringLiteral("--version")) {
    std::printf("splicora-cli %s\n", SPLICORA_VERSION);
    return 0;
  }
  auto it = Registry().find(args.first().toStdString());
  if (it == Registry().end()) {
    PrintUsage(stderr);
    return 2;
  }
  const QStringList commandArgs = args.mid(1);
  for (const QString& arg : commandArgs) {
    if (arg == QStringLiteral("--")) break;
    if (IsHelp(arg)) {
      std::printf("usage: splicora-cli %s\n%s", it->second.usage.c_str(), kGlobalOptions);
      return 0;
    }
  }
  // The command line speaks English: the interface texts are the English literals.
  SetCurrentLanguage(kLanguageEnglish);
  return it->second.run(commandArgs);
}
