#include "loadgen/load_connection.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loadgen {

namespace {

constexpr size_t kInputSize = 64 * 1024;
// "takethis " + "<id>" + CR LF: the longest command line.
constexpr size_t kMaxCommand = 16 + ArticleSource::kMaxId;
constexpr char kQuit[] = "quit\r\n";

int ReplyCode(const char* line, size_t length) {
  if (length < 3) return 0;
  for (int i = 0; i < 3; i++) {
    if (line[i] < '0' || line[i] > '9') return 0;
  }
  if (length > 3 && line[3] != ' ' && line[3] != '\r') return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

LoadConnection::LoadConnection(const Options& options, const ArticleSource& source, uint32_t index)
    : options_(options), source_(source), index_(index) {
  size_t capacity = options.mode == Mode::kIhave ? 1 : options.window;
  sent_.resize(capacity);
  wanted_.resize(capacity);
  arena_.resize(capacity * (kMaxCommand + ArticleSource::kMaxHead) + sizeof kQuit);
  queue_.reserve(capacity * 2 + 1);
  input_.resize(kInputSize);
  if (options.mode != Mode::kIhave) replyDelays_.reserve(options.articlesPerConnection);
}

LoadConnection::~LoadConnection() {
  if (fd_ >= 0) close(fd_);
}

bool LoadConnection::Connect(const sockaddr_storage& address, socklen_t length) {
  fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    error_ = std::string("connect: ") + strerror(errno);
    state_ = State::kFailed;
    return false;
  }
  // Commands are gathered into large writes already; small ones (checks,
  // quit) must not wait for an acknowledgement.
  int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  return true;
}

void LoadConnection::Fail(const std::string& why) {
  if (state_ == State::kFailed) return;
  error_ = "connection " + std::to_string(index_) + ": " + why;
  state_ = State::kFailed;
}

uint64_t LoadConnection::Allowed(double nowSeconds) const {
  uint64_t total = options_.articlesPerConnection;
  if (options_.rate <= 0 || options_.mode == Mode::kIhave) return total;
  return std::min<uint64_t>(total, uint64_t(nowSeconds * options_.rate / options_.connections) + 1);
}

bool LoadConnection::WantsWrite(double nowSeconds) const {
  if (queueHead_ < queue_.size()) return true;
  if (state_ != State::kRunning) return false;
  bool more = nextSeq_ < Allowed(nowSeconds);
  if (options_.mode == Mode::kIhave) return wantedCount_ > 0 || (outstanding_ == 0 && more);
  return outstanding_ < sent_.size() && (wantedCount_ > 0 || more);
}

void LoadConnection::PushSent(Sent what, uint64_t seq) {
  sent_[(sentHead_ + outstanding_) % sent_.size()] = Pending{seq, what, queuedAt_};
  outstanding_++;
}

void LoadConnection::QueueArena(const char* text, size_t length) {
  // Contiguous arena text extends the last iovec instead of adding one.
  if (!queue_.empty() && queueHead_ < queue_.size()) {
    iovec& last = queue_.back();
    if (static_cast<char*>(last.iov_base) + last.iov_len == text) {
      last.iov_len += length;
      arenaUsed_ += length;
      return;
    }
  }
  queue_.push_back(iovec{const_cast<char*>(text), length});
  arenaUsed_ += length;
}

void LoadConnection::QueueStreaming(Sent what, uint64_t seq) {
  char* out = ArenaSpace();
  char id[ArticleSource::kMaxId];
  size_t idLength = source_.FormatId(index_, seq, id);
  const char* word = what == Sent::kCheck ? "check " : "takethis ";
  size_t n = strlen(word);
  memcpy(out, word, n);
  memcpy(out + n, id, idLength);
  n += idLength;
  memcpy(out + n, "\r\n", 2);
  n += 2;
  if (what == Sent::kTakethis) n += source_.FormatHead(std::string_view(id, idLength), out + n);
  QueueArena(out, n);
  if (what == Sent::kTakethis) queue_.push_back(iovec{const_cast<char*>(source_.tail().data()), source_.tail().size()});
  PushSent(what, seq);
}

void LoadConnection::QueueIhaveOffer(uint64_t seq) {
  char* out = ArenaSpace();
  char id[ArticleSource::kMaxId];
  size_t idLength = source_.FormatId(index_, seq, id);
  memcpy(out, "ihave ", 6);
  memcpy(out + 6, id, idLength);
  memcpy(out + 6 + idLength, "\r\n", 2);
  QueueArena(out, idLength + 8);
  PushSent(Sent::kIhaveOffer, seq);
}

void LoadConnection::QueueIhaveText(uint64_t seq) {
  char id[ArticleSource::kMaxId];
  size_t idLength = source_.FormatId(index_, seq, id);
  char* out = ArenaSpace();
  QueueArena(out, source_.FormatHead(std::string_view(id, idLength), out));
  queue_.push_back(iovec{const_cast<char*>(source_.tail().data()), source_.tail().size()});
  PushSent(Sent::kIhaveText, seq);
}

bool LoadConnection::BuildBatch(double nowSeconds) {
  if (state_ != State::kRunning) return false;
  queue_.clear();
  queueHead_ = 0;
  arenaUsed_ = 0;
  uint64_t total = Allowed(nowSeconds);
  queuedAt_ = nowSeconds;
  auto takeWanted = [this] {
    uint64_t seq = wanted_[wantedHead_];
    wantedHead_ = (wantedHead_ + 1) % wanted_.size();
    wantedCount_--;
    return seq;
  };
  if (options_.mode == Mode::kIhave) {
    if (wantedCount_ > 0) {
      QueueIhaveText(takeWanted());
    } else if (outstanding_ == 0 && nextSeq_ < total) {
      if (firstSendAt_ < 0) firstSendAt_ = nowSeconds;
      QueueIhaveOffer(nextSeq_++);
    }
  } else {
    while (outstanding_ < sent_.size()) {
      if (wantedCount_ > 0) {
        QueueStreaming(Sent::kTakethis, takeWanted());
      } else if (nextSeq_ < total) {
        if (firstSendAt_ < 0) firstSendAt_ = nowSeconds;
        QueueStreaming(options_.mode == Mode::kCheck ? Sent::kCheck : Sent::kTakethis, nextSeq_++);
      } else {
        break;
      }
    }
  }
  return !queue_.empty();
}

// Writes as much of the queue as the socket takes. True when it is drained.
bool LoadConnection::WriteQueued() {
  while (queueHead_ < queue_.size()) {
    int count = int(std::min<size_t>(queue_.size() - queueHead_, IOV_MAX));
    msghdr message{};
    message.msg_iov = &queue_[queueHead_];
    message.msg_iovlen = size_t(count);
    // MSG_NOSIGNAL: a relay that went away is an error to report, not a
    // SIGPIPE that ends the whole run.
    ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Fail(std::string("write: ") + strerror(errno));
      return false;
    }
    size_t left = size_t(n);
    while (queueHead_ < queue_.size() && left >= queue_[queueHead_].iov_len) {
      left -= queue_[queueHead_].iov_len;
      queueHead_++;
    }
    if (left > 0) {
      queue_[queueHead_].iov_base = static_cast<char*>(queue_[queueHead_].iov_base) + left;
      queue_[queueHead_].iov_len -= left;
    }
  }
  return true;
}

void LoadConnection::OnWritable(double nowSeconds) {
  while (state_ == State::kRunning || state_ == State::kQuitting) {
    if (queueHead_ == queue_.size() && !BuildBatch(nowSeconds)) return;
    if (!WriteQueued()) return;
  }
}

void LoadConnection::OnReadable(double nowSeconds) {
  for (;;) {
    if (state_ == State::kDone || state_ == State::kFailed) return;
    if (inputUsed_ == input_.size()) {
      Fail("reply line longer than the input buffer");
      return;
    }
    ssize_t n = read(fd_, input_.data() + inputUsed_, input_.size() - inputUsed_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Fail(std::string("read: ") + strerror(errno));
      return;
    }
    if (n == 0) {
      if (state_ == State::kQuitting) {
        state_ = State::kDone;
      } else {
        Fail("the relay closed the connection");
      }
      return;
    }
    bool drained = size_t(n) < input_.size() - inputUsed_;
    size_t end = inputUsed_ + size_t(n);
    size_t start = 0;
    const char* data = input_.data();
    for (;;) {
      const void* lf = memchr(data + start, '\n', end - start);
      if (lf == nullptr) break;
      size_t lineEnd = size_t(static_cast<const char*>(lf) - data);
      HandleLine(data + start, lineEnd - start, nowSeconds);
      start = lineEnd + 1;
    }
    inputUsed_ = end - start;
    if (inputUsed_ > 0 && start > 0) memmove(input_.data(), data + start, inputUsed_);
    // A read that did not fill the space took everything there was; poll
    // says when more comes, which saves a read that would only say EAGAIN.
    if (drained) return;
  }
}

void LoadConnection::HandleLine(const char* line, size_t length, double nowSeconds) {
  int code = ReplyCode(line, length);
  replies_[code]++;
  switch (state_) {
    case State::kGreeting:
      if (code == 200 || code == 201) {
        state_ = State::kRunning;
        StartQuitIfDone();
      } else {
        Fail("refused with: " + std::string(line, length));
      }
      return;
    case State::kRunning:
      HandleReply(code, nowSeconds);
      return;
    case State::kQuitting:
      state_ = State::kDone;
      return;
    case State::kDone:
    case State::kFailed:
      return;
  }
}

void LoadConnection::HandleReply(int code, double nowSeconds) {
  if (outstanding_ == 0) {
    Fail("reply " + std::to_string(code) + " to no command");
    return;
  }
  Pending p = sent_[sentHead_];
  sentHead_ = (sentHead_ + 1) % sent_.size();
  outstanding_--;
  bool wanted = (p.what == Sent::kCheck && code == 238) || (p.what == Sent::kIhaveOffer && code == 335);
  if (wanted) {
    wanted_[(wantedHead_ + wantedCount_) % wanted_.size()] = p.seq;
    wantedCount_++;
  } else {
    if (p.what == Sent::kTakethis || p.what == Sent::kIhaveText) transferred_++;
    if (acked_ != nullptr && (code == 239 || code == 235) &&
        (p.what == Sent::kTakethis || p.what == Sent::kIhaveText)) {
      char id[ArticleSource::kMaxId];
      size_t idLength = source_.FormatId(index_, p.seq, id);
      fprintf(acked_, "%.*s\n", int(idLength), id);
    }
    if (p.what == Sent::kTakethis) replyDelays_.push_back(float(nowSeconds - p.at));
    FinishArticle(nowSeconds);
  }
  StartQuitIfDone();
}

void LoadConnection::FinishArticle(double nowSeconds) {
  finished_++;
  lastReplyAt_ = nowSeconds;
}

void LoadConnection::StartQuitIfDone() {
  if (state_ != State::kRunning || finished_ < options_.articlesPerConnection || outstanding_ != 0) return;
  // Every command has been answered, so everything queued has been written.
  queue_.clear();
  queueHead_ = 0;
  arenaUsed_ = 0;
  char* out = ArenaSpace();
  memcpy(out, kQuit, sizeof kQuit - 1);
  QueueArena(out, sizeof kQuit - 1);
  state_ = State::kQuitting;
  WriteQueued();
}

}  // namespace loadgen
