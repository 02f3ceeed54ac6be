#pragma once
#include <string>
#include <vector>

namespace pellan {

/// The address of the UI in the user's browser.
inline constexpr const char* kUiRootUrl = "http://localhost:8000/";

/// Starts `argv[0]` (looked up in PATH) with the given arguments as a process of its own that
/// this one does not wait for; returns whether it could be started. The child starts with no
/// signals blocked and its standard streams on /dev/null.
bool spawnDetached(const std::vector<std::string>& argv);

/// Opens the UI root URL in the default browser (xdg-open). Callers ignore the result.
bool openUi();

/// Tells the user about an error that ends the start: the text on standard error, and a
/// desktop notification when a desktop session is there.
void showFatalError(const std::string& text);

}  // namespace pellan
