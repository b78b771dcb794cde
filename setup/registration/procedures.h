// Registering the sink from the window: per folder, bringing every listed
// folder's registration in line with its check mark, or store-wide; and the
// buttons and batch run that start them.
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

void subRegister(InstallForm& form, bool blnRefresh);
void subRegisterSW(InstallForm& form);

void btnChange_Click(InstallForm& form);
// Asks "Are you sure you wish to register store-wide?" before registering.
void btnRegisterSW_Click(InstallForm& form);
void Command1_Click(InstallForm& form);  // "Refresh"

} // namespace korvane::setup
