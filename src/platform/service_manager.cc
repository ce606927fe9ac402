#include "platform/service_manager.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

bool StartedByServiceManager() {
  const char* s = getenv("NOTIFY_SOCKET");
  return s != nullptr && *s != '\0';
}

bool NotifyServiceManager(const std::string& assignments) {
  return sd_notify(0, assignments.c_str()) > 0;
}

std::string UnitDirectory() {
  const char* dir = getenv("VELTRANE_UNIT_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/etc/systemd/system";
}

bool SystemdManagesUnitDirectory() {
  const char* dir = getenv("VELTRANE_UNIT_DIR");
  if (dir != nullptr && *dir != '\0') return false;
  struct stat st;
  return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

int RunSystemctl(const std::string& args) {
  std::string cmd = "systemctl " + args + " >/dev/null 2>&1";
  return system(cmd.c_str());
}

std::string UnitActiveState(const std::string& unit) {
  std::string cmd = "systemctl is-active " + unit + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return std::string();
  char buf[64] = {0};
  if (fgets(buf, sizeof buf, p) == nullptr) buf[0] = '\0';
  pclose(p);
  std::string state(buf);
  while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
  return state;
}
