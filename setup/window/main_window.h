// The main window's own procedures: load (command line, caption, discovery),
// the first activation (refresh, and in batch mode the registration run and
// the end), the state refresh that derives every caption and enabled state
// from the catalog, the store and the folder list, exit and unload.
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

inline constexpr char16_t kProductName[] = u"Korvane";

// True for an argument text that selects batch mode ("-b…" or "/b…", any case).
bool isBatchSwitch(TextView arguments);

void Form_Load(InstallForm& form, TextView commandLineArguments);
void Form_Activate(InstallForm& form);
void subRefresh(InstallForm& form);
void Command2_Click(InstallForm& form);  // "Exit"
void Form_Unload(InstallForm& form);

} // namespace korvane::setup
