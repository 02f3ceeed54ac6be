#pragma once
#include <filesystem>

namespace pellan {

/// Every directory and file the application uses, computed once at start-up.
struct AppPaths {
    std::filesystem::path exeDir;
    std::filesystem::path uiRoot;
    std::filesystem::path dataDir;
    std::filesystem::path logsDir;
    std::filesystem::path appSettingsFile;
    std::filesystem::path devicesStateFile;
    std::filesystem::path groupsStateFile;
    std::filesystem::path tileSettingsFile;
    std::filesystem::path logFile;
    std::filesystem::path oldLogFile;
};

/// The per-user base for local application data: $XDG_DATA_HOME when it is an absolute path,
/// else $HOME/.local/share. Empty when neither is usable.
std::filesystem::path localAppDataDirectory();

/// The per-user directory of this application inside localAppDataDirectory(); empty when that
/// is unknown.
std::filesystem::path appBaseDirectory();

/// The directory of the running executable; empty when it cannot be determined.
std::filesystem::path executableDirectory();

/// Computes the paths and creates the data and logs directories. Throws std::runtime_error
/// with the text the user is shown ("Unable to ...") when a step fails.
AppPaths computeAppPaths();

}  // namespace pellan
