#include "ctl_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <tcl.h>
#include <unistd.h>

#include "platform/io.h"

CtlClient::~CtlClient() {
  if (fd_ >= 0) close(fd_);
}

bool CtlClient::Connect(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *error = "socket path too long";
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = strerror(errno);
    return false;
  }
  return true;
}

bool CtlClient::Run(const std::string& command, int* status, std::string* text) {
  std::string line = OneLine(command) + "\n";
  Deadline deadline = DeadlineAfter(timeoutMs_);
  // A relay that refuses a line still sends its refusal before it closes.
  SendWithin(fd_, line.data(), line.size(), deadline);
  return ReadFrame(status, text, deadline);
}

bool CtlClient::ReadFrame(int* status, std::string* text, Deadline deadline) {
  char chunk[65536];
  size_t head;
  unsigned long long length = 0;
  for (;;) {
    head = input_.find('\n');
    if (head != std::string::npos) {
      if (sscanf(input_.c_str(), "%d %llu", status, &length) != 2) return false;
      if (input_.size() >= head + 1 + length) break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, int(std::max<int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) timedOut_ = true;
    if (ready <= 0) return false;
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    input_.append(chunk, size_t(n));
  }
  *text = input_.substr(head + 1, length);
  input_.erase(0, head + 1 + length);
  return true;
}

std::string OneLine(const std::string& command) {
  if (command.find_first_of("\r\n") == std::string::npos) return command;
  int flags = 0;
  int size = Tcl_ScanCountedElement(command.data(), int(command.size()), &flags);
  std::string word(size_t(size) + 1, '\0');
  int length = Tcl_ConvertCountedElement(command.data(), int(command.size()), word.data(),
                                         flags | TCL_DONT_USE_BRACES);
  word.resize(size_t(length));
  return "eval " + word;
}
