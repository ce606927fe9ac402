// The -install and -remove verbs: the relay's systemd unit file.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "base/message_log.h"
#include "platform/io.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "service/service.h"

namespace {

constexpr const char* kUnitName = "veltrane.service";

// The errno text, for one message.
std::string ErrorText() {
  char text[256];
  return GetLastErrorText(text, sizeof text);
}

// One word of a unit file setting, quoted so that systemd reads it back
// as it stands: blanks stay inside the quotes, '\\' and '"' are escaped,
// '%' (a specifier) is doubled, and so is '$' where `dollarExpands` (in
// ExecStart=, where it names a variable). Other control and non-ASCII
// bytes are written as \xNN.
std::string UnitQuoted(const std::string& word, bool dollarExpands) {
  std::string out = "\"";
  for (unsigned char c : word) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += char(c);
    } else if (c == '%' || (c == '$' && dollarExpands)) {
      out.append(2, char(c));
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// Demand-started like a service without an install target: no [Install].
std::string UnitText(const std::string& program) {
  std::string text = "[Unit]\nDescription=";
  text += kDisplayName;
  text += "\n\n[Service]\nType=notify\nExecStart=" + UnitQuoted(program, true) + "\n";
  const char* config = getenv("VELTRANE_CONFIG");
  if (config != nullptr && *config != '\0') {
    text += "Environment=" + UnitQuoted(std::string("VELTRANE_CONFIG=") + config, false) + "\n";
  }
  return text;
}

bool WriteText(int fd, const std::string& text) { return WriteFully(fd, text.data(), text.size()); }

// Creates the unit file exclusively; an existing unit is an error.
bool CreateUnit(int dirFd, const std::string& program) {
  int fd = openat(dirFd, kUnitName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteText(fd, UnitText(program)) && fsync(fd) == 0;
  int saved = errno;
  close(fd);
  if (!ok) {
    unlinkat(dirFd, kUnitName, 0);
    errno = saved;
  }
  return ok;
}

int OpenUnitDirectory() {
  return open(UnitDirectory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void ReloadServiceManager() {
  if (SystemdManagesUnitDirectory()) RunSystemctl("daemon-reload");
}

// Stops the running service, printing a dot a second while it stops.
// Prints nothing when the service is not running.
void StopRunningService() {
  if (!SystemdManagesUnitDirectory()) return;
  if (UnitActiveState(kUnitName) != "active") return;
  if (RunSystemctl(std::string("stop --no-block ") + kUnitName) != 0) return;
  printf("Stopping %s.", kDisplayName);
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::string state;
  while ((state = UnitActiveState(kUnitName)) == "deactivating") {
    printf(".");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
  if (state == "inactive" || state == "failed") {
    printf("\n%s stopped.\n", kDisplayName);
  } else {
    printf("\n%s failed to stop.\n", kDisplayName);
  }
}

}  // namespace

void CmdInstallService() {
  std::string program = ExecutablePath();
  if (program.empty()) {
    printf("Unable to install %s - %s\n", kDisplayName, ErrorText().c_str());
    return;
  }
  int dirFd = OpenUnitDirectory();
  if (dirFd < 0) {
    printf("OpenSCManager failed - %s\n", ErrorText().c_str());
    return;
  }
  if (CreateUnit(dirFd, program)) {
    printf("%s installed.\n", kDisplayName);
    ReloadServiceManager();
  } else {
    printf("CreateService failed - %s\n", ErrorText().c_str());
  }
  close(dirFd);
}

void CmdRemoveService() {
  int dirFd = OpenUnitDirectory();
  if (dirFd < 0) {
    printf("OpenSCManager failed - %s\n", ErrorText().c_str());
    return;
  }
  if (faccessat(dirFd, kUnitName, F_OK, 0) != 0) {
    printf("OpenService failed - %s\n", ErrorText().c_str());
    close(dirFd);
    return;
  }
  StopRunningService();
  if (unlinkat(dirFd, kUnitName, 0) == 0) {
    printf("%s removed.\n", kDisplayName);
    ReloadServiceManager();
  } else {
    printf("DeleteService failed - %s\n", ErrorText().c_str());
  }
  close(dirFd);
}
