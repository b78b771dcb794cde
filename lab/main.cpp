// korvane-lab: the tool for trying Korvane on an emulated server.
#include <cstdio>

#include "lab/commands.h"
#include "platform/com/runtime.h"
#include "platform/db/database.h"

int main(int argc, char** argv) {
  using namespace korvane;
  CLI::App app{"korvane-lab: creates and inspects an emulated Korvane server, delivers mail into its public "
               "folders and shows what the sink did.\nThe server directory comes from --server, else "
               "KORVANE_SERVER, else a per-user default."};
  app.require_subcommand(1);
  app.add_option_function<std::string>(
      "--server", [](const std::string& dir) { db::setServerDirectory(dir); }, "Directory of the emulated server");
  lab::addServerCommands(app);
  lab::addFolderCommands(app);
  lab::addComPlusCommands(app);
  lab::addRegistrationCommands(app);
  lab::addItemCommands(app);
  lab::addMailCommands(app);

  int status = 0;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    status = app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    status = app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "korvane-lab: %s (see korvane-lab --help)\n", e.what());
    status = 2;
  } catch (const ComError& e) {
    std::fprintf(stderr, "korvane-lab: %s\n", e.what());
    status = 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvane-lab: %s\n", e.what());
    status = 1;
  }
  shutdownRuntime();
  return status;
}
