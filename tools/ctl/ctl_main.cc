// veltrane-ctl: runs control commands in a running relay.
//
//   veltrane-ctl [-s PATH] [-t SECONDS] COMMAND [ARG...]   one command; its
//                                                         result printed
//   veltrane-ctl [-s PATH] [-t SECONDS] -f FILE   the commands of a script file
//   veltrane-ctl [-s PATH] [-t SECONDS]           commands read line by line
//                                                 from standard input (a
//                                                 prompt on a terminal)
//
// The socket is PATH, else the ControlSocket of the configuration named by
// VELTRANE_CONFIG, /etc/veltrane/veltrane.conf when that is unset or empty
// (default: veltrane.ctl in its HistoryTablePath). Each
// command's answer is awaited at most SECONDS (1 to 86400, default 30).
// Exit code 0 when every command succeeded, 1 when one failed (its Tcl
// error message on standard error; a script stops there), 2 when the relay
// cannot be reached, refuses the client or does not answer in time, 3 on a
// usage error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <tcl.h>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "control/control_socket.h"
#include "ctl_client.h"

namespace {

constexpr int kOk = 0, kCommandFailed = 1, kUnreachable = 2, kUsage = 3;
int timeoutSeconds = 30;

// The configuration of an installed relay (the packaged unit names it too).
constexpr const char* kDefaultConfig = "/etc/veltrane/veltrane.conf";

const char* kUsageText =
    "usage: veltrane-ctl [-s SOCKET] [-t SECONDS] COMMAND [ARG...]\n"
    "       veltrane-ctl [-s SOCKET] [-t SECONDS] -f FILE\n"
    "       veltrane-ctl [-s SOCKET] [-t SECONDS]            (commands from standard input)\n"
    "The socket defaults to the ControlSocket of the configuration in $VELTRANE_CONFIG\n"
    "(when unset: /etc/veltrane/veltrane.conf);\n"
    "an answer is awaited at most SECONDS (1 to 86400, default 30).\n";

// The socket path from -s, else from the configuration; empty with a
// message printed when there is none.
std::string SocketPath(const std::string& given) {
  if (!given.empty()) return given;
  const char* config = getenv("VELTRANE_CONFIG");
  if (config == nullptr || *config == '\0') config = kDefaultConfig;
  Config configuration;
  if (!configuration.LoadConfigFile(config)) {
    fprintf(stderr, "veltrane-ctl: cannot read the configuration %s (give -s SOCKET or set VELTRANE_CONFIG)\n",
            config);
    return "";
  }
  std::string path = ControlSocketPath(configuration);
  if (path.empty()) fprintf(stderr, "veltrane-ctl: the control socket is off in %s\n", config);
  return path;
}

// Whether `command` is the interpreter's "exit", after which the relay
// closes the connection without a reply.
bool IsExit(const std::string& command) {
  size_t start = command.find_first_not_of(" \t");
  return start != std::string::npos && command.compare(start, 4, "exit") == 0 &&
         (command.size() == start + 4 || command[start + 4] == ' ' || command[start + 4] == '\t');
}

// Runs one command and reports it; returns the exit code it calls for.
int RunOne(CtlClient& client, const std::string& path, const std::string& command) {
  int status = 0;
  std::string text;
  if (!client.Run(command, &status, &text)) {
    if (!client.TimedOut() && IsExit(command)) return kOk;  // the relay stopped, as asked
    if (client.TimedOut()) {
      fprintf(stderr, "veltrane-ctl: no answer from the relay at %s within %d s\n", path.c_str(), timeoutSeconds);
    } else {
      fprintf(stderr, "veltrane-ctl: the relay at %s closed the connection\n", path.c_str());
    }
    return kUnreachable;
  }
  if (status == 200) {
    if (!text.empty()) std::cout << text << "\n" << std::flush;
    return kOk;
  }
  std::cerr << (status == 400 ? "veltrane-ctl: refused by the relay: " : "") << text << "\n" << std::flush;
  return status == 400 ? kUnreachable : kCommandFailed;
}

// Reads whole commands (lines joined until Tcl calls the command complete)
// from `in` and runs them. A script stops at its first failure; a terminal
// session goes on and ends with the code of its last command.
int RunStream(CtlClient& client, const std::string& path, std::istream& in, bool interactive) {
  std::string command, line;
  int code = kOk;
  if (interactive) std::cout << "veltrane> " << std::flush;
  while (std::getline(in, line)) {
    command += line + "\n";
    if (!Tcl_CommandComplete(command.c_str())) continue;
    command.pop_back();
    if (command.find_first_not_of(" \t\r\n") != std::string::npos) {
      code = RunOne(client, path, command);
      if (code == kUnreachable || (code != kOk && !interactive)) return code;
    }
    command.clear();
    if (interactive) std::cout << "veltrane> " << std::flush;
  }
  if (interactive) std::cout << "\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketGiven, file;
  int opt;
  while ((opt = getopt(argc, argv, "+s:f:t:h")) != -1) {
    char* end = nullptr;
    switch (opt) {
      case 's': socketGiven = optarg; break;
      case 'f': file = optarg; break;
      case 't': {
        long seconds = strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || seconds < 1 || seconds > 86400) {
          fputs(kUsageText, stderr);
          return kUsage;
        }
        timeoutSeconds = int(seconds);
        break;
      }
      default: fputs(kUsageText, stderr); return kUsage;
    }
  }
  std::vector<const char*> words(argv + optind, argv + argc);
  if (!file.empty() && !words.empty()) {
    fputs(kUsageText, stderr);
    return kUsage;
  }
  std::string path = SocketPath(socketGiven);
  if (path.empty()) return kUnreachable;
  CtlClient client(timeoutSeconds);
  std::string error;
  if (!client.Connect(path, &error)) {
    fprintf(stderr, "veltrane-ctl: cannot reach the relay at %s: %s\n", path.c_str(), error.c_str());
    return kUnreachable;
  }
  if (!words.empty()) {
    // One word is a whole command as typed; several are quoted as a list.
    if (words.size() == 1) return RunOne(client, path, words[0]);
    char* merged = Tcl_Merge(int(words.size()), words.data());
    std::string command = merged;
    Tcl_Free(merged);
    return RunOne(client, path, command);
  }
  if (!file.empty()) {
    std::ifstream in(file);
    if (!in) {
      fprintf(stderr, "veltrane-ctl: cannot read %s\n", file.c_str());
      return kUsage;
    }
    return RunStream(client, path, in, false);
  }
  return RunStream(client, path, std::cin, isatty(0) != 0);
}
