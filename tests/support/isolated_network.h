// A network of this test process's own: a new network namespace with only
// its loopback device, and a mount namespace in which /etc/hosts is the
// test's, so that names resolve as the test says through the system's own
// resolver. Everything the process starts afterwards (the relay too) lives
// in it; both namespaces end with the processes in them.
#pragma once
#include <string>

// Enters the network; with `ipv4` false, loopback keeps only ::1. `hosts`
// is the text of /etc/hosts in it. Call before any thread is started.
// Returns "" when done, else why it could not be (not permitted here).
std::string EnterIsolatedNetwork(bool ipv4, const std::string& hosts);
