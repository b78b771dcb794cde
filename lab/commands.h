// The command groups of korvane-lab; each adds its subcommands to the app.
// Callbacks throw ComError for failures, which main turns into one line on
// stderr and a non-zero exit.
#pragma once

#include <CLI/CLI.hpp>

namespace korvane::lab {

void addServerCommands(CLI::App& app);    // init, info, user, machine, cluster, exchange
void addFolderCommands(CLI::App& app);    // folder add/list/set
void addComPlusCommands(CLI::App& app);   // complus install/list/remove
void addRegistrationCommands(CLI::App& app);  // reg add/delete/list
void addItemCommands(CLI::App& app);      // deliver, save, items, delete, events
void addMailCommands(CLI::App& app);      // serve, show, incoming

} // namespace korvane::lab
