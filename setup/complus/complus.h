// The only code that talks to the COM+ catalog: finds the application that
// hosts the sink (and loads its stored configuration back into the window),
// creates it with identity and constructor string, and removes it. Every
// failure goes to the error log; nothing is undone.
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

inline constexpr char16_t kApplicationName[] = u"Korvane";

// True when an application of that name exists; then `identity` receives its
// "Identity". Always loads the class boxes and the priority box.
bool CheckComPlusAppExists(InstallForm& form, TextView applicationName, Text& identity);

void AddComPlusApp(InstallForm& form, TextView applicationName, TextView identity, TextView password,
                   TextView constructorString);

void RemoveComPlusApp(InstallForm& form, TextView applicationName);

// Splits a stored constructor string into its three lines as the window reads it.
struct ConstructorLines {
  Text line1, line2, line3;
};
ConstructorLines splitConstructorLines(TextView constructorString);

} // namespace korvane::setup
