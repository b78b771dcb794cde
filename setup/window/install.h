// Install and uninstall of the COM+ application from the window, and the
// input rules of the priority field (digits only, a whole number from 0 to
// 65535, anything else restores the last accepted text).
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

// New class box, CR, original class box, CR, the trimmed priority.
Text composeConstructorString(const InstallFormModel& ui);

void btnInstall_Click(InstallForm& form);

// Returns the character code to let through, or 0 to discard the key.
int txtPriority_KeyPress(int keyAscii);
void txtPriority_Change(InstallForm& form);

// Writes a priority from code: the change check does not run, and the text
// becomes the last accepted one.
void setPriorityFromCode(InstallForm& form, TextView priority);

// A whole number from 0 to 65535, blanks around it allowed.
bool isAcceptablePriority(TextView text);

} // namespace korvane::setup
