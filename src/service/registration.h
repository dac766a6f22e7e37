#pragma once
// The command line's registration modes: "--register" makes the daemon a service of the
// system's service manager, "--unregister" removes it. On Linux a systemd unit and a polkit rule
// (registration_unix.cpp); on Windows the service control manager (windowsservice_win.cpp).
// Failures are reported by one of the texts below, printed after "Failed to register service: "
// or "Failed to unregister service: ":
//   "Failed to open Service Control Manager"  the caller may not register here
//   "Failed to get module file name"          the running executable's path is unknown
//   "Service already exists"
//   "Failed to create service"
//   "Failed to open service"                  nothing is registered
//   "Failed to delete service"

#include <string>

namespace registration {

// Where a registration goes on Linux; tests point it at a private root.
struct Places
{
    std::string unitDir = "/etc/systemd/system";
    std::string polkitDir = "/etc/polkit-1/rules.d";
    // systemd runs (and is told to reload) when this folder exists.
    std::string systemdRunning = "/run/systemd/system";
};

constexpr const char *UnitName = "tarnd.service";
constexpr const char *PolkitRuleName = "50-tarnd.rules";

// Empty on success, else one of the texts above.
std::string install(const Places &places, const std::string &executable);
std::string uninstall(const Places &places);

// The entry's modes, chosen by the exact first argument. The exit code of "--register" or
// "--unregister" (0, or 1 with the failure line on standard error), or -1 for any other
// first argument: the service mode.
int runCommand(int argc, char **argv, const Places &places = Places());

// The running executable's absolute path, or empty.
std::string executablePath();

} // namespace registration
