// The service manager (systemd) as the relay sees it: whether it started the
// process, status reports to it, and where unit files live.
#pragma once
#include <string>

// True when the service manager started this process (NOTIFY_SOCKET is set).
bool StartedByServiceManager();

// Sends one notification (newline-separated "KEY=value" assignments).
// Returns false when it could not be delivered.
bool NotifyServiceManager(const std::string& assignments);

// Folder of the relay's unit file: VELTRANE_UNIT_DIR when set, else
// /etc/systemd/system.
std::string UnitDirectory();

// True when units in UnitDirectory() are managed by a running systemd, so
// that systemctl may be asked to reload, query or stop them.
bool SystemdManagesUnitDirectory();

// Runs "systemctl <args>" with its output discarded; returns its exit status.
int RunSystemctl(const std::string& args);

// The first word systemctl prints for "is-active <unit>" ("active",
// "deactivating", "inactive", ...); empty when it cannot be asked.
std::string UnitActiveState(const std::string& unit);
