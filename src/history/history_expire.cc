// Expiry: when the data file is 99% full, its oldest fifth is cut away.
// The bytes behind the cut move down to offset 160 while a second thread
// adjusts the table; no reader is inside meanwhile. The cut ignores entry
// boundaries: the data then begins with the tail of the entry that
// straddled it, which nothing leads to (its slot was cleared, links into the
// removed area point below 160, and cursors are moved by the cut or dropped).
// The expiry is recorded in the header while it runs (history_format.h), so
// that a process killed in the middle leaves a history the next start can
// finish and re-index (history_repair.cc).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>

#include "history/history_format.h"

namespace {

// The data moves in steps of at most this many bytes (and never more than
// the cut), each step recorded in the header.
constexpr uint32_t kMoveStep = 4u << 20;

}  // namespace

namespace hist {

// The last-expire file records when the history last expired. It goes to
// SiteRecordPath, or beside hist.dat when that key is not set.
void Db::RecordExpireTime() const {
  const Config& config = base->config;
  const char* dir = config.GetConfigString("SiteRecordPath");
  if (dir == nullptr) dir = config.GetConfigString("HistoryDataPath");
  if (dir == nullptr) return;
  std::string path = std::string(dir) + "/last-expire";
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;
  fprintf(f, "%u\n", uint32_t(time(nullptr)));
  fclose(f);
}

void Db::HistTableExpire(uint32_t cut) {
  const uint32_t removedBelow = kHeaderSize + cut;
  for (uint32_t i = 0; i < histTableSize; i++) {
    uint32_t v = histTable[i];
    histTable[i] = v < removedBelow ? 0 : v - cut;
  }
}

void Db::MoveDataDown(uint32_t cut, uint32_t usedBefore, uint32_t moved) {
  const uint32_t total = usedBefore - kHeaderSize - cut;
  const uint32_t step = std::min(cut, kMoveStep);
  uint8_t* to = histData + kHeaderSize;
  const uint8_t* from = to + cut;
  while (moved < total) {
    uint32_t n = std::min(step, total - moved);
    memmove(to + moved, from + moved, n);
    moved += n;
    SetHeaderWord(kExpireMovedAt, moved);
    Step(moved, total);
  }
}

void Db::DoExpire() {
  ShutOutReaders();
  uint32_t used = Load32(histData);
  uint32_t cut = ExpiryCut();
  // The record of this expiry goes into the header before anything moves;
  // a start after a kill finishes the move from it and rebuilds the table.
  SetHeaderWord(kTableStaleAt, 1);
  SetHeaderWord(kExpireMovedAt, 0);
  SetHeaderWord(kExpireUsedAt, used);
  SetHeaderWord(kExpireCutAt, cut);
  Step(0, used - kHeaderSize - cut);
  // A thread that cannot be started leaves the table to this thread, after
  // the move; the table is adjusted before the expiry ends either way.
  std::thread worker;
  try {
    worker = std::thread([this, cut] { HistTableExpire(cut); });
  } catch (const std::system_error&) {
    base->log.LogLine("db: could not start the table expiry thread, adjusting the table in line\n");
  }
  MoveDataDown(cut, used, 0);
  if (worker.joinable()) {
    worker.join();
  } else {
    HistTableExpire(cut);
  }
  SetHeaderWord(0, used - cut);
  Step(used - kHeaderSize - cut + 1, used - kHeaderSize - cut);
  SetHeaderWord(kExpireCutAt, 0);
  SetHeaderWord(kTableStaleAt, 0);
  uint32_t newest = newestEntry.load(std::memory_order_relaxed);
  newestEntry.store(newest < kHeaderSize + cut ? 0 : newest - cut, std::memory_order_relaxed);
  lastExpireDeleted = cut;
  expireSerial.fetch_add(1, std::memory_order_relaxed);
  ReadmitReaders();
  RecordExpireTime();
}

}  // namespace hist
