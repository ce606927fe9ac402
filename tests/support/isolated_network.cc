#include "support/isolated_network.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>

#include "support/temp_dir.h"

std::string EnterIsolatedNetwork(bool ipv4, const std::string& hosts) {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
    return std::string("cannot make network and mount namespaces: ") + strerror(errno);
  }
  // The bind mount below stays in this namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::string("cannot make mounts private: ") + strerror(errno);
  }
  static TempDir dir;  // the hosts file must outlive the test
  std::string file = dir.Write("hosts", hosts);
  if (mount(file.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    return std::string("cannot mount a hosts file: ") + strerror(errno);
  }
  std::string commands = "ip link set lo up";
  if (!ipv4) commands += " && ip -4 addr flush dev lo";
  if (system(commands.c_str()) != 0) return "cannot set up loopback with ip (iproute2)";
  return "";
}
