#pragma once
// How the service may use the network in a run: time-stamps when signing,
// revocation checks when verifying. Set once at start-up from the settings
// file and the command line; nothing asked of the network outlives the run.

#include <functional>
#include <string>

namespace quilvane {

struct NetworkSettings {
    std::string timestampUrl;     // empty: signatures get no time-stamp
    bool checkRevocation = true;  // ask the services a chain publishes
    bool offline = false;         // no network at all
    int timeoutSeconds = 10;      // for each request, from connecting to the last byte
    bool embedValidationData =
        false;  // put the revocation data gathered while signing into the message
};

void UseNetworkSettings(NetworkSettings settings);
const NetworkSettings& CurrentNetworkSettings();

// Called at least every tenth of a second while a request waits for the
// network, with the host it waits for; raising Error(status::Stopped) ends the
// wait and the work. Empty: nothing to ask. Each thread has its own. Returns
// the check it replaces.
using NetworkWaitCheck = std::function<void(const std::string& host)>;
NetworkWaitCheck UseNetworkWaitCheck(NetworkWaitCheck check);

}  // namespace quilvane
