// vantrel-diag: field checks of what the application sees on the studio network.

#include "commands.hpp"

#include <array>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

using pellan::diag::Command;

// A new subcommand (link, push, ember, discover) is one line here and one file beside this.
constexpr std::array kCommands{
    Command{"ping", "probe device addresses by ICMP echo, as the health monitor does",
            &pellan::diag::runPing},
    Command{"discover", "browse for devices by DNS-SD, as the application's discovery does",
            &pellan::diag::runDiscover},
    Command{"link", "open one device WebSocket link, as the application does, and print it all",
            &pellan::diag::runLink},
    Command{"panel-sim", "simulate a device's WebSocket state server for link and tests",
            &pellan::diag::runPanelSim},
    Command{"push", "print every message of the UI push server, as a UI page receives it",
            &pellan::diag::runPush},
    Command{"ember", "watch and write Ember+ GPIOs as the application's clients do; a provider sim",
            &pellan::diag::runEmber},
};

void printOverview(std::ostream& out) {
    out << "Usage: vantrel-diag COMMAND [ARGS]\n\nCommands:\n";
    for (const Command& command : kCommands) {
        out << "  " << command.name << std::string(10 - std::strlen(command.name), ' ')
            << command.summary << "\n";
    }
    out << "\n'vantrel-diag COMMAND --help' describes one command.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        printOverview(std::cerr);
        return pellan::diag::kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        printOverview(std::cout);
        return pellan::diag::kExitOk;
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            try {
                return command.run(std::vector<std::string>(argv + 2, argv + argc));
            } catch (const std::exception& error) {
                std::cerr << "vantrel-diag " << name << ": " << error.what() << "\n";
                return pellan::diag::kExitFailure;
            }
        }
    }
    std::cerr << "vantrel-diag: unknown command '" << name << "'\n\n";
    printOverview(std::cerr);
    return pellan::diag::kExitUsage;
}
