#include "sink/sink_server.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace sink {

namespace {

constexpr size_t kInputSize = 1 << 20;
constexpr size_t kHeadKeep = 1024;  // enough for the stamp header
constexpr char kTerminator[] = "\r\n.\r\n";
constexpr size_t kTerminatorLength = sizeof kTerminator - 1;
constexpr char kStamp[] = "\r\nX-Loadgen-Sent: ";
constexpr size_t kStampLength = sizeof kStamp - 1;

double MonotonicSeconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

uint64_t RealtimeNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// The first "\r\n.\r\n" in data[0, n), or nullptr. Found by its dot, not
// by its line ends: a dot is rare in article text (one a sentence, none in
// the load generator's bodies), a line end is on every line.
const char* FindTerminator(const char* data, size_t n) {
  for (size_t i = 2; i + 3 <= n;) {
    const char* dot = static_cast<const char*>(memchr(data + i, '.', n - 2 - i));
    if (dot == nullptr) return nullptr;
    if (memcmp(dot - 2, kTerminator, kTerminatorLength) == 0) return dot - 2;
    i = size_t(dot - data) + 1;
  }
  return nullptr;
}

// Where the load generator's stamp header starts in a head, or nullptr.
// Looked for by its rare capital 'X' first.
const char* FindStamp(const char* head, size_t n) {
  for (size_t i = 2; i + kStampLength - 2 <= n;) {
    const char* x = static_cast<const char*>(memchr(head + i, 'X', n - i));
    if (x == nullptr) return nullptr;
    if (size_t(x - head) + kStampLength - 2 > n) return nullptr;
    if (memcmp(x - 2, kStamp, kStampLength) == 0) return x - 2;
    i = size_t(x - head) + 1;
  }
  return nullptr;
}

bool StartsWithWord(const std::string& line, const char* word) {
  size_t n = strlen(word);
  return line.size() >= n && strncasecmp(line.data(), word, n) == 0 && (line.size() == n || line[n] == ' ');
}

// The argument after the command word, up to the next space.
std::string Argument(const std::string& line) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return "";
  size_t end = line.find(' ', space + 1);
  return line.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
}

// One connection's reading and replying, on a thread of its own.
class Connection {
 public:
  Connection(int fd, SinkServer* server) : fd_(fd), server_(server), input_(kInputSize) {}
  ~Connection() { close(fd_); }

  void Run() {
    Reply("200 veltrane-sink ready");
    for (;;) {
      while (Step()) {
      }
      if (quit_ || !Flush()) return;
      if (start_ > 0) {
        memmove(input_.data(), input_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      if (end_ == input_.size()) return;  // a command line longer than the buffer
      ssize_t n = read(fd_, input_.data() + end_, input_.size() - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      end_ += size_t(n);
    }
  }

 private:
  enum class Expect { kCommand, kTakethisText, kIhaveText };

  void Reply(const std::string& text) { output_ += text + "\r\n"; }

  bool Flush() {
    size_t sent = 0;
    while (sent < output_.size()) {
      ssize_t n = send(fd_, output_.data() + sent, output_.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += size_t(n);
    }
    output_.clear();
    return true;
  }

  // Handles one command or one piece of an article; false when it needs
  // more input.
  bool Step() {
    if (quit_) return false;
    return expect_ == Expect::kCommand ? CommandStep() : ArticleStep();
  }

  bool CommandStep() {
    const char* data = input_.data() + start_;
    const void* lf = memchr(data, '\n', end_ - start_);
    if (lf == nullptr) return false;
    size_t length = size_t(static_cast<const char*>(lf) - data);
    start_ += length + 1;
    if (length > 0 && data[length - 1] == '\r') length--;
    Command(std::string(data, length));
    return true;
  }

  void Command(const std::string& line) {
    std::string id = Argument(line);
    if (StartsWithWord(line, "mode")) {
      Reply("203 Streaming permitted");
    } else if (StartsWithWord(line, "check")) {
      Reply(std::to_string(server_->CheckCode(id)) + " " + id);
    } else if (StartsWithWord(line, "takethis")) {
      BeginArticle(Expect::kTakethisText, id);
    } else if (StartsWithWord(line, "ihave")) {
      if (server_->Known(id)) {
        Reply("435 Duplicate");
      } else {
        Reply("335 Send it; end with <CR-LF>.<CR-LF>");
        BeginArticle(Expect::kIhaveText, id);
      }
    } else if (StartsWithWord(line, "quit")) {
      Reply("205 bye");
      Flush();
      quit_ = true;
    } else {
      Reply("500 What?");
    }
  }

  void BeginArticle(Expect what, const std::string& id) {
    expect_ = what;
    id_ = id;
    articleBytes_ = 0;
    head_.clear();
  }

  void Consume(size_t n) {
    if (head_.size() < kHeadKeep) head_.append(input_.data() + start_, std::min(n, kHeadKeep - head_.size()));
    articleBytes_ += n;
    start_ += n;
  }

  bool ArticleStep() {
    size_t available = end_ - start_;
    const char* at = FindTerminator(input_.data() + start_, available);
    if (at == nullptr) {
      // Keep the bytes that may begin the terminator for the next read.
      if (available > kTerminatorLength) Consume(available - kTerminatorLength);
      return false;
    }
    Consume(size_t(at - (input_.data() + start_)) + kTerminatorLength);
    bool isNew = server_->Arrived(id_, articleBytes_, head_.data(), head_.size());
    if (expect_ == Expect::kTakethisText) {
      Reply((isNew ? "239 " : "439 ") + id_);
    } else {
      Reply(isNew ? "235 Article transferred OK" : "437 Duplicate");
    }
    expect_ = Expect::kCommand;
    return true;
  }

  int fd_;
  SinkServer* server_;
  std::vector<char> input_;
  size_t start_ = 0, end_ = 0;
  std::string output_;
  Expect expect_ = Expect::kCommand;
  std::string id_;
  std::string head_;
  uint64_t articleBytes_ = 0;
  bool quit_ = false;
};

}  // namespace

bool SinkServer::Known(const std::string& id) {
  std::lock_guard<std::mutex> lock(lock_);
  return ids_.count(id) != 0;
}

int SinkServer::CheckCode(const std::string& id) {
  std::lock_guard<std::mutex> lock(lock_);
  if (ids_.count(id) != 0) return 438;
  if (deferEvery_ > 0 && ++newChecks_ % deferEvery_ == 0) {
    totals_.deferred++;
    return 431;
  }
  return 238;
}

bool SinkServer::Arrived(const std::string& id, uint64_t bytes, const char* head, size_t headLength) {
  double now = MonotonicSeconds();
  uint64_t nowNs = RealtimeNs();
  int64_t delayNs = -1;
  const char* stamp = FindStamp(head, headLength);
  if (stamp != nullptr) {
    uint64_t sentNs = strtoull(stamp + kStampLength, nullptr, 10);
    if (sentNs > 0 && sentNs <= nowNs) delayNs = int64_t(nowNs - sentNs);
  }
  std::lock_guard<std::mutex> lock(lock_);
  if (!ids_.insert(id).second) {
    totals_.repeats++;
    return false;
  }
  totals_.articles++;
  totals_.bytes += bytes;
  if (idsFile_ != nullptr) fprintf(idsFile_, "%s\n", id.c_str());
  if (totals_.firstAt < 0) totals_.firstAt = now;
  totals_.lastAt = now;
  if (delayNs >= 0) totals_.delaysUs.push_back(uint32_t(std::min<int64_t>(delayNs / 1000, UINT32_MAX)));
  // Run waits for the last one alone (and looks at its deadline and stop
  // flag every 100 ms): a wake-up for each article would cost the sink
  // two thread switches an article.
  if (totals_.articles == expected_) changed_.notify_all();
  return true;
}

void SinkServer::Serve(int fd) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    totals_.connections++;
  }
  Connection(fd, this).Run();
}

bool SinkServer::Run(uint64_t expected, double seconds, const std::atomic<bool>* stop) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    expected_ = expected;
    ids_.reserve(size_t(std::min<uint64_t>(expected, 50000000)));
  }
  std::thread([this] {
    for (;;) {
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      // Replies go out as soon as they are written, like a server's that
      // answers a feeder waiting for them.
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      std::thread([this, fd] { Serve(fd); }).detach();
    }
  }).detach();
  std::unique_lock<std::mutex> lock(lock_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (totals_.articles < expected && std::chrono::steady_clock::now() < deadline && !stop->load()) {
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (idsFile_ != nullptr) fflush(idsFile_);
  }
  if (idsFile_ != nullptr) fflush(idsFile_);
  return totals_.articles >= expected;
}

SinkTotals SinkServer::Totals() {
  std::lock_guard<std::mutex> lock(lock_);
  if (idsFile_ != nullptr) fflush(idsFile_);  // the file agrees with the copy
  return totals_;
}

}  // namespace sink
