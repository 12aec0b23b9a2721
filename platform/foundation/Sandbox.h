// The application's sandbox: a home directory holding Documents, Library/Caches, Library/Preferences and
// tmp. The environment variable QUORVANE_HOME chooses it; the default is $XDG_DATA_HOME/quorvane (or
// ~/.local/share/quorvane). Tests point it at a fresh temporary directory with `setHome`.
#pragma once

#include <string>

namespace Sandbox {
std::string home();
// Changes the home for the rest of the process (tests); creates the standard folders.
void setHome(const std::string& path);
// Forgets `setHome`: the next call chooses the home from the environment again (tests).
void resetHome();
std::string documentsDirectory();
std::string cachesDirectory();       // Library/Caches
std::string preferencesDirectory();  // Library/Preferences
std::string temporaryDirectory();    // tmp
}  // namespace Sandbox
