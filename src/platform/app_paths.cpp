#include "platform/app_paths.hpp"

#include <stdexcept>
#include <string>
#include <system_error>

namespace pellan {
namespace {

void createDirectory(const std::filesystem::path& directory, const char* failureText) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw std::runtime_error(std::string(failureText) + error.message());
    }
    // create_directories reports no error when a file of that name exists.
    if (!std::filesystem::is_directory(directory, error)) {
        throw std::runtime_error(std::string(failureText) +
                                 std::make_error_code(std::errc::not_a_directory).message());
    }
}

}  // namespace

std::filesystem::path appBaseDirectory() {
    const std::filesystem::path localAppData = localAppDataDirectory();
    if (localAppData.empty()) {
        return {};
    }
    return localAppData / "Vantrel" / "Pellan";
}

AppPaths computeAppPaths() {
    AppPaths paths;
    paths.exeDir = executableDirectory();
    if (paths.exeDir.empty()) {
        throw std::runtime_error("Unable to determine the application directory");
    }
    paths.uiRoot = paths.exeDir / "Vantrel_Pellan_UI";

    const std::filesystem::path base = appBaseDirectory();
    if (base.empty()) {
        throw std::runtime_error("Unable to determine the LocalAppData directory");
    }
    paths.dataDir = base / "data";
    paths.logsDir = base / "logs";
    createDirectory(paths.dataDir, "Unable to create the data directory: ");
    createDirectory(paths.logsDir, "Unable to create the logs directory: ");

    paths.appSettingsFile = paths.dataDir / "app_settings.json";
    paths.devicesStateFile = paths.dataDir / "devices_state.json";
    paths.groupsStateFile = paths.dataDir / "groups_state.json";
    paths.tileSettingsFile = paths.dataDir / "device-tile-settings.json";
    paths.logFile = paths.logsDir / "Vantrel_Pellan_log.log";
    paths.oldLogFile = paths.logsDir / "Vantrel_Pellan_log_old.log";
    return paths;
}

}  // namespace pellan
