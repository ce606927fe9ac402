// One connection of a load run: a non-blocking socket driven by the run's
// poll loop. It waits for the greeting, then sends its articles in the run's
// mode, counts every reply line by its code, and ends with "quit".
//
// Streaming modes keep up to `window` commands awaiting replies; replies
// come back in command order, so a ring of the commands sent tells what
// each reply answers. Output is gathered as iovecs: command lines and heads
// are formatted into a batch arena, and every article's body is the one
// shared tail of the ArticleSource. The arena is reused only once the whole
// batch has been written, so no iovec ever points into rewritten bytes.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/uio.h>
#include <vector>

#include "loadgen/article_source.h"
#include "loadgen/load_options.h"

namespace loadgen {

// Reply lines counted by their three-digit code (index 0: lines that do
// not start with one).
using ReplyCounts = std::array<uint64_t, 1000>;

class LoadConnection {
 public:
  LoadConnection(const Options& options, const ArticleSource& source, uint32_t index);
  ~LoadConnection();
  LoadConnection(const LoadConnection&) = delete;
  LoadConnection& operator=(const LoadConnection&) = delete;

  // Connects (a loopback connect either succeeds or fails at once) and
  // makes the socket non-blocking. False with the reason in error().
  bool Connect(const sockaddr_storage& address, socklen_t length);

  int fd() const { return fd_; }
  // True while the socket should be polled for writing at run time `nowSeconds`.
  bool WantsWrite(double nowSeconds) const;
  // Called when poll reports the socket readable (or hung up) / writable.
  // `nowSeconds` is the run's clock, used for the first send's time.
  void OnReadable(double nowSeconds);
  void OnWritable(double nowSeconds);

  // Each Message-ID the relay acknowledges (239 or 235) is written to
  // `acked` on a line of its own; nullptr (the default) writes nothing.
  void SetAckedFile(FILE* acked) { acked_ = acked; }

  bool done() const { return state_ == State::kDone; }
  bool failed() const { return state_ == State::kFailed; }
  const std::string& error() const { return error_; }

  uint64_t articlesFinished() const { return finished_; }
  uint64_t articlesTransferred() const { return transferred_; }  // article texts sent in full
  const ReplyCounts& replies() const { return replies_; }
  // Run clock at the first article command and at the last article's reply;
  // negative while there has been none.
  double firstSendAt() const { return firstSendAt_; }
  double lastReplyAt() const { return lastReplyAt_; }
  // Seconds from queueing each takethis to its reply.
  const std::vector<float>& replyDelays() const { return replyDelays_; }

 private:
  enum class State { kGreeting, kRunning, kQuitting, kDone, kFailed };
  enum class Sent : uint8_t { kCheck, kTakethis, kIhaveOffer, kIhaveText };
  struct Pending {
    uint64_t seq;
    Sent what;
    double at;  // run clock when queued
  };

  void Fail(const std::string& why);
  void HandleLine(const char* line, size_t length, double nowSeconds);
  void HandleReply(int code, double nowSeconds);
  void FinishArticle(double nowSeconds);
  void StartQuitIfDone();
  // Adds commands to an empty output queue; false when there is nothing to add.
  bool BuildBatch(double nowSeconds);
  void QueueStreaming(Sent what, uint64_t seq);
  void QueueIhaveOffer(uint64_t seq);
  void QueueIhaveText(uint64_t seq);
  void QueueArena(const char* text, size_t length);
  char* ArenaSpace() { return arena_.data() + arenaUsed_; }
  void PushSent(Sent what, uint64_t seq);
  // Articles this connection may have offered by `nowSeconds` (--rate).
  uint64_t Allowed(double nowSeconds) const;
  bool WriteQueued();

  const Options& options_;
  const ArticleSource& source_;
  uint32_t index_;
  int fd_ = -1;
  State state_ = State::kGreeting;
  std::string error_;

  uint64_t nextSeq_ = 0;        // next article never offered yet
  uint64_t finished_ = 0;       // articles whose last reply came in
  uint64_t transferred_ = 0;
  uint32_t outstanding_ = 0;    // commands sent or queued, not yet answered
  std::vector<Pending> sent_;   // ring of outstanding commands, oldest first
  size_t sentHead_ = 0;
  std::vector<uint64_t> wanted_;  // ring of articles a check accepted
  size_t wantedHead_ = 0;
  size_t wantedCount_ = 0;

  std::vector<char> arena_;
  size_t arenaUsed_ = 0;
  std::vector<iovec> queue_;
  size_t queueHead_ = 0;

  std::vector<char> input_;
  size_t inputUsed_ = 0;

  ReplyCounts replies_{};
  double firstSendAt_ = -1;
  double lastReplyAt_ = -1;
  double queuedAt_ = 0;  // run clock of the batch being built
  std::vector<float> replyDelays_;
  FILE* acked_ = nullptr;
};

}  // namespace loadgen
