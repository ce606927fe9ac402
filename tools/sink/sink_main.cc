// veltrane-sink: a receiving news server on a loopback address that takes
// every article a relay feeds it and reports how many came, how fast, how
// many twice, and (for veltrane-loadgen's stamped articles) how late. It
// ends by itself once the expected articles are in or its time limit has
// passed, or when told to by SIGTERM or SIGINT; the exit code is 0 when
// every expected article arrived and none came twice, 1 otherwise, 2 on a
// usage error. For delivery measurements (bench/promise.sh) it can list
// every distinct Message-ID it received (--ids) and answer 431 to every
// N-th check of a new article (--defer-every).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loadgen/load_options.h"
#include "sink/sink_server.h"

namespace {

struct SinkOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  uint64_t expected = 1;
  double seconds = 120;
  std::string idsPath;      // empty: no ids file
  uint64_t deferEvery = 0;  // 0: never defer
};

const char* kUsage =
    "usage: veltrane-sink --port N [options]\n"
    "  --host ADDR         loopback address to listen on (127.0.0.1; only 127.0.0.0/8, ::1, localhost)\n"
    "  --port N            port to listen on\n"
    "  --expect N          end once N distinct articles have arrived (1)\n"
    "  --time-limit SECS   end after this long, whatever has arrived (120)\n"
    "  --ids FILE          write each distinct Message-ID received, one a line, to FILE\n"
    "                      (flushed every 100 ms and at the end, SIGTERM and SIGINT included)\n"
    "  --defer-every N     answer \"431 <id>\" (try again later) instead of 238 to every N-th\n"
    "                      check of an article not received yet (never)\n";

bool Parse(int argc, char** argv, SinkOptions* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    const char* value = argv[i + 1];
    char* end = nullptr;
    if (name == "--host") {
      o->host = value;
    } else if (name == "--port") {
      unsigned long n = strtoul(value, &end, 10);
      if (*end != '\0' || n == 0 || n > 65535) return false;
      o->port = uint16_t(n);
    } else if (name == "--expect") {
      o->expected = strtoull(value, &end, 10);
      if (*end != '\0' || o->expected == 0) return false;
    } else if (name == "--ids") {
      o->idsPath = value;
      if (o->idsPath.empty()) return false;
    } else if (name == "--defer-every") {
      o->deferEvery = strtoull(value, &end, 10);
      if (*end != '\0' || o->deferEvery == 0) return false;
    } else if (name == "--time-limit") {
      o->seconds = strtod(value, &end);
      if (*end != '\0' || !(o->seconds > 0)) return false;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o->port != 0;
}

double Percentile(std::vector<uint32_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  size_t at = std::min(sorted.size() - 1, size_t(fraction * double(sorted.size())));
  return sorted[at] / 1000.0;
}

void Report(const SinkOptions& o, sink::SinkTotals& t, bool complete) {
  double seconds = t.lastAt > t.firstAt ? t.lastAt - t.firstAt : 0;
  double perSecond = seconds > 0 ? double(t.articles) / seconds : 0;
  double mbPerSecond = seconds > 0 ? double(t.bytes) / seconds / 1e6 : 0;
  std::sort(t.delaysUs.begin(), t.delaysUs.end());
  double p50 = Percentile(t.delaysUs, 0.5), p99 = Percentile(t.delaysUs, 0.99);
  double max = t.delaysUs.empty() ? 0 : t.delaysUs.back() / 1000.0;
  printf("sink %s: %llu of %llu articles, %llu repeats, %llu connections\n", loadgen::HostAndPort(o.host, o.port).c_str(),
         static_cast<unsigned long long>(t.articles), static_cast<unsigned long long>(o.expected),
         static_cast<unsigned long long>(t.repeats), static_cast<unsigned long long>(t.connections));
  if (t.deferred > 0) printf("deferred    %llu checks answered 431\n", static_cast<unsigned long long>(t.deferred));
  printf("elapsed     %.3f s (first to last article), %.0f articles/s, %.1f MB/s\n", seconds, perSecond, mbPerSecond);
  printf("delay       of %zu stamped articles: median %.2f ms, p99 %.2f ms, max %.2f ms\n", t.delaysUs.size(), p50,
         p99, max);
  printf("summary articles=%llu repeats=%llu deferred=%llu bytes=%llu seconds=%.3f articles_per_s=%.0f "
         "mb_per_s=%.1f delay_count=%zu delay_p50_ms=%.2f delay_p99_ms=%.2f delay_max_ms=%.2f completed=%d\n",
         static_cast<unsigned long long>(t.articles), static_cast<unsigned long long>(t.repeats),
         static_cast<unsigned long long>(t.deferred), static_cast<unsigned long long>(t.bytes), seconds, perSecond,
         mbPerSecond, t.delaysUs.size(), p50, p99, max, complete ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  SinkOptions o;
  if (!Parse(argc, argv, &o)) {
    fputs(kUsage, stderr);
    return 2;
  }
  sockaddr_storage address;
  socklen_t length;
  std::string error;
  if (!loadgen::LoopbackAddress(o.host, o.port, &address, &length, &error)) {
    fputs(error.c_str(), stderr);
    return 2;
  }
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 64) != 0) {
    fprintf(stderr, "cannot listen on %s: %s\n", loadgen::HostAndPort(o.host, o.port).c_str(), strerror(errno));
    return 2;
  }
  static std::atomic<bool> stop{false};
  signal(SIGTERM, [](int) { stop = true; });
  signal(SIGINT, [](int) { stop = true; });
  sink::SinkServer server(fd);
  FILE* ids = nullptr;
  if (!o.idsPath.empty()) {
    ids = fopen(o.idsPath.c_str(), "w");
    if (ids == nullptr) {
      fprintf(stderr, "cannot write %s: %s\n", o.idsPath.c_str(), strerror(errno));
      return 2;
    }
    server.SetIdsFile(ids);
  }
  server.SetDeferEvery(o.deferEvery);
  bool arrived = server.Run(o.expected, o.seconds, &stop);
  sink::SinkTotals totals = server.Totals();
  bool complete = arrived && totals.repeats == 0;
  Report(o, totals, complete);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("sink_cpu_s=%.3f\n", double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
  fflush(stdout);
  // The connection threads still run; leave without tearing down what
  // they use.
  _exit(complete ? 0 : 1);
}
