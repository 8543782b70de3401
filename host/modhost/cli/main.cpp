// modhost: loads, inspects, renders, validates and analyzes module libraries of this protocol
// without the real host.
//
// Every mistake on the command line gets one line on standard error, "modhost: ...", the
// argument parser's own included; an unknown command names the known ones.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/text.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "host/modhost/io/file_system.h"
#endif

namespace {

// The arguments in UTF-8: on Windows from the wide command line, since argv holds them in the
// code page, where a name like tessà.dll may not survive.
std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#if defined(_WIN32)
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    for (int index = 0; index < count; ++index) arguments.push_back(modhost::Narrow(wide[index]));
    LocalFree(wide);
    return arguments;
  }
#endif
  for (int index = 0; index < argc; ++index) arguments.push_back(argv[index]);
  return arguments;
}

std::string KnownCommands(const CLI::App& app) {
  std::string names;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    names += (names.empty() ? "" : ", ") + command->get_name();
  }
  return names;
}

// CLI11's messages, reworded where they would mislead.
std::string ParseErrorText(const CLI::App& app, const CLI::ParseError& error) {
  const std::string text = error.what();
  if (text.find("subcommand is required") != std::string::npos) {
    return "name a command (" + KnownCommands(app) + "); modhost --help tells more";
  }
  return text + " (modhost --help tells more)";
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The same bytes as on Linux: no line feed becomes a carriage return and a line feed.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#else
  // A reader that goes away must give a write error, not end the process silently.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string> arguments = Arguments(argc, argv);
  modhost::SetCommandArguments(std::vector<std::string>(arguments.begin() + 1, arguments.end()));

  CLI::App app{"modhost: a command-line host for module libraries of this plug-in protocol"};
  app.set_version_flag("--version", "modhost " MODHOST_VERSION);
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  int exit_status = modhost::kExitOk;
  modhost::AddInfoCommand(app, &exit_status);
  modhost::AddRenderCommand(app, &exit_status);
  modhost::AddAnalyzeCommand(app, &exit_status);
  modhost::AddDiffCommand(app, &exit_status);
  modhost::AddValidateCommand(app, &exit_status);
  modhost::AddLv2Command(app, &exit_status);

  // The first word that is no option must be a command.
  if (arguments.size() > 1 && !arguments[1].empty() && arguments[1][0] != '-') {
    bool known = false;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      known = known || command->get_name() == arguments[1];
    }
    if (!known) {
      std::fprintf(stderr, "modhost: unknown command '%s'; the commands are %s\n",
                   modhost::Excerpt(arguments[1]).c_str(), KnownCommands(app).c_str());
      return modhost::kExitUsage;
    }
  }
  try {
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend() - 1);
    app.parse(reversed);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    // The parser's text quotes the offending value whole; 200 characters of it are plenty.
    std::fprintf(stderr, "modhost: %s\n",
                 modhost::Excerpt(ParseErrorText(app, error), 200).c_str());
    return modhost::kExitUsage;
  }
  return exit_status;
}
