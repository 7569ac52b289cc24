#pragma once
// splicora-cli subcommands. Each command file registers itself with a static
// CommandRegistration; main() dispatches on the first argument.
#include <QStringList>
#include <functional>

// args: the arguments after the command's name. Returns the exit status.
using CommandFunction = std::function<int(const QStringList& args)>;

struct CommandRegistration {
  CommandRegistration(const char* name, const char* usage, CommandFunction run);
};
