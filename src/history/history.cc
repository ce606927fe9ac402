#include "history/history.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <thread>

#include "history/article_id.h"
#include "history/history_format.h"
#include "platform/mapped_file.h"
#include "platform/process.h"
#include "service/config.h"
#include "service/log.h"
#include "service/stats.h"
#include "spool/article_spool.h"

using namespace hist;

uint8_t* histData = nullptr;
uint32_t* histTable = nullptr;
uint32_t histDataSize = 0;
uint32_t histTableSize = 0;
std::atomic<uint32_t> dbClosed{1};
std::recursive_mutex csHistoryWrite;
std::mutex csHistoryInterlock;
ManualResetEvent hEvtHistory;        // starts reset: nothing reads before histinit
std::atomic<uint32_t> bExpirePending{1};
std::atomic<uint32_t> histLockCount{0};
NewEntrySignal hEvtAddToHistory;
std::atomic<uint32_t> expireSerial{0};
uint32_t lastExpireDeleted = 0;

namespace {

constexpr uint32_t kDefaultTableSize = 2097167;
constexpr uint32_t kDefaultDataSize = 314572800;

[[noreturn]] void StartupFailure(const std::string& message) {
  fputs(message.c_str(), stdout);
  ExitProcess(1);
}

MappedFile tableFile, dataFile;

// Maps `file` at `path`, or reports the step that failed and ends the
// process.
uint8_t* MapOrExit(MappedFile* file, const std::string& path, size_t size, const char* openFailed,
                   const char* mapFailed) {
  MappedFile::Status status = file->Open(path.c_str(), size);
  if (status == MappedFile::Status::kOpenFailed) StartupFailure(openFailed);
  if (status != MappedFile::Status::kOk) StartupFailure(mapFailed);
  // A hint only: where the file system offers large pages, lookups that land
  // anywhere in the files stop paying a TLB miss for each access.
  madvise(file->data(), size, MADV_HUGEPAGE);
  return file->data();
}

std::string FilePath(const char* key, const char* name, const char* openFailed) {
  const char* dir = GetConfigString(key);
  if (dir == nullptr) StartupFailure(std::string(key) + " not specified, " + openFailed);
  return std::string(dir) + "/" + name;
}

// The data size must leave room for the largest entry in its last
// hundredth: an append at used just below the expiry mark must still fit.
void CheckSizes(uint32_t dataSize, uint32_t tableSize) {
  if (tableSize == 0) StartupFailure("HistoryTableSize must be at least 1\n");
  if (double(dataSize) / 100.0 < double(kMaxEntrySize)) {
    char text[200];
    snprintf(text, sizeof text,
             "HistoryDataSize %u is too small: its last hundredth must hold an entry of %u bytes "
             "(use at least %u)\n",
             dataSize, kMaxEntrySize, kMaxEntrySize * 100);
    StartupFailure(text);
  }
}

void Unmap() {
  dataFile.Close();
  tableFile.Close();
  histData = nullptr;
  histTable = nullptr;
}

// Slot `slot` was found holding `bad`; clear it unless an append has put a
// fresh offset there in the meantime.
void PruneSlot(uint32_t slot, uint32_t bad, const char* line) {
  LogLine(line);
  Slot(slot).compare_exchange_strong(bad, 0, std::memory_order_relaxed);
}

// The identifier at `off` equals `id` (with its NUL), within `end`.
bool TextEquals(uint32_t off, const char* id, size_t len, uint32_t end) {
  if (size_t(end) - off - kTextAt < len + 1) return false;
  return memcmp(histData + off + kTextAt, id, len + 1) == 0;
}

// Walks the chain from the slot's newest entry; returns the entry's offset
// or 0. Links that lead outside the data stop the walk.
uint32_t SearchChain(uint32_t off, const char* id, size_t len, uint32_t end, uint32_t* links) {
  for (;;) {
    if (TextEquals(off, id, len, end)) return off;
    uint32_t previous = EntryField(off, kPreviousAt);
    if (previous == 0 || previous >= off || off - previous < kHeaderSize) return 0;
    off -= previous;
    ++*links;
  }
}

}  // namespace

namespace hist {

void EnterReader() {
  for (;;) {
    histLockCount.fetch_add(1, std::memory_order_seq_cst);
    if (bExpirePending.load(std::memory_order_seq_cst) == 0) return;
    LeaveReader();
    std::lock_guard<std::mutex> lock(csHistoryInterlock);
    hEvtHistory.Wait();
  }
}

void ShutOutReaders() {
  bExpirePending.store(1, std::memory_order_seq_cst);
  std::lock_guard<std::mutex> lock(csHistoryInterlock);
  hEvtHistory.Reset();
  while (histLockCount.load(std::memory_order_seq_cst) != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

void ReadmitReaders() {
  hEvtHistory.Set();
  bExpirePending.store(0, std::memory_order_seq_cst);
}

}  // namespace hist

int histinit() {
  std::lock_guard<std::recursive_mutex> write(csHistoryWrite);
  if (dbClosed.load() == 0) return 1;
  std::string tablePath = FilePath("HistoryTablePath", "hist.idx", "could not open table file\n");
  std::string dataPath = FilePath("HistoryDataPath", "hist.dat", "could not open history file\n");
  uint32_t dataSize = kDefaultDataSize, tableSize = kDefaultTableSize;
  GetConfigInt("HistoryDataSize", &dataSize);
  GetConfigInt("HistoryTableSize", &tableSize);
  CheckSizes(dataSize, tableSize);

  uint8_t* table = MapOrExit(&tableFile, tablePath, size_t(tableSize) * 4, "could not open table file\n",
                             "could not map table file\n");
  histData = MapOrExit(&dataFile, dataPath, dataSize, "could not open history file\n",
                       "could not map history file\n");
  bool dataEmpty = dataFile.original_size() == 0;
  histTable = reinterpret_cast<uint32_t*>(table);
  histTableSize = tableSize;
  histDataSize = dataSize;
  if (dataEmpty) {
    memset(histTable, 0, size_t(tableSize) * 4);
    Store32(histData, kHeaderSize);
    Store32(histData + kReservedWordOffset, 0);
  }
  uint32_t used = Load32(histData);
  if (used < kHeaderSize || used > dataSize) {
    char text[200];
    snprintf(text, sizeof text, "history file ends at %u, outside HistoryDataSize %u\n", used, dataSize);
    StartupFailure(text);
  }
  stats.dwHistBytesUsed.store(used, std::memory_order_relaxed);
  crcinit();
  dbClosed.store(0);
  ReadmitReaders();
  return 1;
}

void histclose() {
  std::lock_guard<std::recursive_mutex> write(csHistoryWrite);
  if (dbClosed.exchange(1) != 0) return;
  dataFile.Flush();
  tableFile.Flush();
  ShutOutReaders();
  Unmap();
}

int AddArticleToHistory(const char* articleId, const uint32_t feedFlags[4], uint32_t spoolOffset,
                        uint32_t length, uint32_t spoolFile) {
  std::lock_guard<std::recursive_mutex> write(csHistoryWrite);
  if (dbClosed.load() != 0) return 0;
  if (double(Load32(histData)) > double(histDataSize) - double(histDataSize) / 100.0) DoExpire();

  uint32_t used = Load32(histData);
  size_t textLen = strnlen(articleId, kMaxIdentifier + 1);
  uint32_t size = kEntryFixedSize + uint32_t(textLen) + 1;
  if (textLen > kMaxIdentifier || size > histDataSize - used) {
    LogLine("exception occured in AddArticleToHistory()");
    return 0;
  }
  uint32_t slot = hash(articleId, int32_t(textLen)) % histTableSize;
  uint32_t newest = Slot(slot).load(std::memory_order_relaxed);
  uint32_t previous = 0;
  if (newest != 0) {
    previous = used - newest;
    if (previous > used) {
      LogLine("db: invalid next entry, pruning...\n");
      previous = 0;
    }
  }
  // The entry is complete before used or the slot lead to it.
  uint8_t* e = histData + used;
  Store32(e + kSlotAt, slot);
  Store32(e + kReservedAt, 0);
  Store32(e + kMagicAt, kMagic);
  Store32(e + kSpoolOffsetAt, spoolOffset);
  Store32(e + kLengthAt, length);
  Store32(e + kSpoolFileAt, spoolFile);
  memcpy(e + kFlagsAt, feedFlags, 16);
  memcpy(e + kTextAt, articleId, textLen + 1);
  Store32(e + kPreviousAt, previous);
  Store32(e + kSizeAt, size);

  PublishUsed(used + size);
  stats.dwHistBytesUsed.store(used + size, std::memory_order_relaxed);
  Slot(slot).store(used, std::memory_order_release);
  Bump(stats.dbInsertOps);
  hEvtAddToHistory.Advance();
  return 1;
}

_histentry* FindArticle(const char* articleId) {
  ReaderSection reader;
  Bump(stats.dbSearchOps);
  size_t len = strlen(articleId);
  uint32_t slot = hash(articleId, int32_t(len)) % histTableSize;
  uint32_t newest = Slot(slot).load(std::memory_order_acquire);
  if (newest == 0) return nullptr;
  uint32_t end = LoadUsed();
  if (newest > end || end - newest < kMinEntrySize) {
    PruneSlot(slot, newest, "db: tried to get an unused entry, pruning\n");
    return nullptr;
  }
  if (newest < kHeaderSize || EntryField(newest, kMagicAt) != kMagic || EntryField(newest, kSlotAt) != slot) {
    PruneSlot(slot, newest, "db: database corrupted, pruning a branch\n");
    return nullptr;
  }
  uint32_t links = 0;
  uint32_t found = SearchChain(newest, articleId, len, end, &links);
  RaiseTo(stats.dbMaxDepth, links);
  BumpBy(stats.dbDepth, links);
  if (found == 0) return nullptr;

  _histentry* entry = new _histentry{};
  entry->position = found;
  CopyHeader(found, &entry->header);
  entry->expireSerial = expireSerial.load(std::memory_order_relaxed);
  return entry;
}

int DestroyEntry(_histentry* entry) {
  CloseCachedSpoolFile(&entry->openFile, &entry->openFileNumber);
  delete entry;
  return 1;
}

uint32_t HistExpireSerial() { return expireSerial.load(std::memory_order_relaxed); }
