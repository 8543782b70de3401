// modhost: loads, inspects, renders, validates and analyzes module libraries of this protocol
// without the real host.
#include <cstdio>

#include "host/modhost/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"modhost: a command-line host for module libraries of this plug-in protocol"};
  app.require_subcommand(1);
  int exit_status = modhost::kExitOk;
  modhost::AddInfoCommand(app, &exit_status);
  modhost::AddValidateCommand(app, &exit_status);
#if MODHOST_WITH_AUDIO_FILES
  modhost::AddRenderCommand(app, &exit_status);
  modhost::AddAnalyzeCommand(app, &exit_status);
#endif
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return modhost::kExitUsage;
  }
  return exit_status;
}
