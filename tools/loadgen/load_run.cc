#include "loadgen/load_run.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

#include "loadgen/article_source.h"

namespace loadgen {

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Collect(const std::vector<std::unique_ptr<LoadConnection>>& connections, RunResult* result) {
  double first = -1, last = -1;
  bool allDone = true;
  for (const auto& c : connections) {
    if (!c->error().empty()) result->errors.push_back(c->error());
    allDone = allDone && c->done();
    result->articlesFinished += c->articlesFinished();
    result->articlesTransferred += c->articlesTransferred();
    for (size_t i = 0; i < result->replies.size(); i++) result->replies[i] += c->replies()[i];
    if (c->firstSendAt() >= 0 && (first < 0 || c->firstSendAt() < first)) first = c->firstSendAt();
    last = std::max(last, c->lastReplyAt());
    result->replyDelays.insert(result->replyDelays.end(), c->replyDelays().begin(), c->replyDelays().end());
  }
  std::sort(result->replyDelays.begin(), result->replyDelays.end());
  result->completed = allDone && !result->timedOut;
  if (first >= 0 && last >= first) result->elapsedSeconds = last - first;
}

// Drives the connections until all have ended or the limit has passed.
void PollLoop(const Options& options, std::vector<std::unique_ptr<LoadConnection>>& connections,
              std::chrono::steady_clock::time_point start, RunResult* result) {
  std::vector<pollfd> fds;
  std::vector<LoadConnection*> active;
  for (;;) {
    fds.clear();
    active.clear();
    for (auto& c : connections) {
      if (c->done() || c->failed()) continue;
      fds.push_back(pollfd{c->fd(), short(POLLIN | (c->WantsWrite(Seconds(start)) ? POLLOUT : 0)), 0});
      active.push_back(c.get());
    }
    if (active.empty()) return;
    double left = options.timeLimitSeconds - Seconds(start);
    if (left <= 0) {
      result->timedOut = true;
      result->errors.push_back("time limit reached");
      return;
    }
    // A paced run wakes every millisecond to offer what the rate allows.
    double cap = options.rate > 0 ? 1.0 : 1000.0;
    int r = poll(fds.data(), fds.size(), int(std::min(left * 1000 + 1, cap)));
    if (r < 0 && errno != EINTR) {
      result->errors.push_back("poll failed");
      return;
    }
    double now = Seconds(start);
    for (size_t i = 0; i < fds.size(); i++) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) active[i]->OnReadable(now);
      if (fds[i].revents & POLLOUT) active[i]->OnWritable(now);
    }
  }
}

// Lock-step ihave has one exchange in flight per connection, so a thread
// per connection blocking in its own reads and writes needs no poll call
// per step. The socket time-outs wake it once a second to check the limit.
void BlockingLoop(const Options& options, LoadConnection* c, std::chrono::steady_clock::time_point start,
                  std::atomic<bool>* timedOut) {
  timeval tick{1, 0};
  setsockopt(c->fd(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  setsockopt(c->fd(), SOL_SOCKET, SO_SNDTIMEO, &tick, sizeof tick);
  fcntl(c->fd(), F_SETFL, fcntl(c->fd(), F_GETFL) & ~O_NONBLOCK);
  while (!c->done() && !c->failed()) {
    double now = Seconds(start);
    if (now >= options.timeLimitSeconds) {
      timedOut->store(true);
      return;
    }
    if (c->WantsWrite(now)) {
      c->OnWritable(now);
    } else {
      c->OnReadable(now);
    }
  }
}

void ThreadPerConnection(const Options& options, std::vector<std::unique_ptr<LoadConnection>>& connections,
                         std::chrono::steady_clock::time_point start, RunResult* result) {
  std::atomic<bool> timedOut{false};
  std::vector<std::thread> threads;
  for (auto& c : connections) threads.emplace_back(BlockingLoop, std::cref(options), c.get(), start, &timedOut);
  for (std::thread& t : threads) t.join();
  if (timedOut.load()) {
    result->timedOut = true;
    result->errors.push_back("time limit reached");
  }
}

}  // namespace

double RunResult::ArticlesPerSecond() const {
  return elapsedSeconds > 0 ? double(articlesFinished) / elapsedSeconds : 0;
}

double RunResult::MegabytesPerSecond(uint32_t articleSize) const {
  return elapsedSeconds > 0 ? double(articlesTransferred) * articleSize / elapsedSeconds / 1e6 : 0;
}

RunResult RunLoad(const Options& options) {
  RunResult result;
  auto start = std::chrono::steady_clock::now();
  sockaddr_storage address;
  socklen_t length;
  std::string error;
  if (!LoopbackAddress(options.host, options.port, &address, &length, &error)) {
    result.errors.push_back(error);
    return result;
  }
  ArticleSource source(options.runPrefix, options.articleSize, time(nullptr));
  if (!source.ok()) {
    result.errors.push_back("article size below the head's " + std::to_string(source.MinimumSize()) + " bytes");
    return result;
  }
  FILE* acked = nullptr;
  if (!options.ackedPath.empty() && (acked = fopen(options.ackedPath.c_str(), "w")) == nullptr) {
    result.errors.push_back("cannot write " + options.ackedPath);
    return result;
  }
  std::vector<std::unique_ptr<LoadConnection>> connections;
  for (uint32_t i = 0; i < options.connections; i++) {
    connections.push_back(std::make_unique<LoadConnection>(options, source, i));
    connections.back()->SetAckedFile(acked);
    if (!connections.back()->Connect(address, length)) {
      Collect(connections, &result);
      if (acked != nullptr) fclose(acked);
      return result;
    }
  }
  if (options.mode == Mode::kIhave) {
    ThreadPerConnection(options, connections, start, &result);
  } else {
    PollLoop(options, connections, start, &result);
  }
  Collect(connections, &result);
  if (acked != nullptr) fclose(acked);
  return result;
}

std::string FormatReport(const Options& options, const RunResult& result) {
  std::string out;
  char line[256];
  uint64_t total = uint64_t(options.connections) * options.articlesPerConnection;
  snprintf(line, sizeof line, "mode %s, %u connections x %llu articles of %u bytes, window %u, run prefix %s\n",
           ModeName(options.mode), options.connections, static_cast<unsigned long long>(options.articlesPerConnection),
           options.articleSize, options.mode == Mode::kIhave ? 1 : options.window, options.runPrefix.c_str());
  out += line;
  snprintf(line, sizeof line, "elapsed     %.3f s\n", result.elapsedSeconds);
  out += line;
  snprintf(line, sizeof line, "articles    %llu of %llu answered, %llu sent in full, %llu accepted\n",
           static_cast<unsigned long long>(result.articlesFinished), static_cast<unsigned long long>(total),
           static_cast<unsigned long long>(result.articlesTransferred),
           static_cast<unsigned long long>(result.accepted()));
  out += line;
  snprintf(line, sizeof line, "articles/s  %.0f\n", result.ArticlesPerSecond());
  out += line;
  snprintf(line, sizeof line, "MB/s        %.1f (10^6 bytes of article text per second)\n",
           result.MegabytesPerSecond(options.articleSize));
  out += line;
  out += "replies    ";
  for (size_t code = 0; code < result.replies.size(); code++) {
    if (result.replies[code] == 0) continue;
    snprintf(line, sizeof line, " %03zu=%llu", code, static_cast<unsigned long long>(result.replies[code]));
    out += line;
  }
  out += "\n";
  const std::vector<float>& d = result.replyDelays;
  if (!d.empty()) {
    snprintf(line, sizeof line, "takethis    queued to reply: median %.2f ms, p99 %.2f ms\n", 1000 * d[d.size() / 2],
             1000 * d[std::min(d.size() - 1, d.size() * 99 / 100)]);
    out += line;
  }
  for (const std::string& e : result.errors) out += "error: " + e + "\n";
  snprintf(line, sizeof line,
           "summary mode=%s connections=%u size=%u articles=%llu answered=%llu accepted=%llu seconds=%.3f "
           "articles_per_s=%.0f mb_per_s=%.1f completed=%d\n",
           ModeName(options.mode), options.connections, options.articleSize, static_cast<unsigned long long>(total),
           static_cast<unsigned long long>(result.articlesFinished),
           static_cast<unsigned long long>(result.accepted()), result.elapsedSeconds, result.ArticlesPerSecond(),
           result.MegabytesPerSecond(options.articleSize), result.completed ? 1 : 0);
  out += line;
  return out;
}

}  // namespace loadgen
