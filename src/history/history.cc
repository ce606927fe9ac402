#include "history/history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <thread>

#include "article/article_id.h"
#include "base/config.h"
#include "base/log.h"
#include "base/message_log.h"
#include "base/stats.h"
#include "history/history_format.h"
#include "platform/mapped_file.h"
#include "platform/process.h"

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
// Never destroyed: feeders may still wait on it while static destructors run.
NewEntrySignal& hEvtAddToHistory = *new NewEntrySignal;
std::atomic<uint32_t> expireSerial{0};
uint32_t lastExpireDeleted = 0;
std::atomic<uint32_t> newestEntry{0};

namespace {

constexpr uint32_t kDefaultTableSize = 2097167;
constexpr uint32_t kDefaultDataSize = 314572800;

MappedFile tableFile, dataFile;

// What a failed open of each file prints.
struct FileMessages {
  const char* openFailed;
  const char* mapFailed;
};
constexpr FileMessages kTableMessages{"could not open table file\n", "could not map table file\n"};
constexpr FileMessages kDataMessages{"could not open history file\n", "could not map history file\n"};

[[noreturn]] void OpenFailure(MappedFile::Status status, const std::string& path, size_t size,
                              const FileMessages& messages) {
  if (status == MappedFile::Status::kOpenFailed) StartupFailure(messages.openFailed);
  if (status == MappedFile::Status::kNoSpace) {
    StartupFailure("no disk space for " + path + " (" + std::to_string(size) + " bytes)\n");
  }
  StartupFailure(messages.mapFailed);
}

// Maps `file` at `path` (cut or extended to `size` when `exact`), or reports
// the step that failed and ends the process.
uint8_t* MapOrExit(MappedFile* file, const std::string& path, size_t size, const FileMessages& messages,
                   bool exact = false) {
  MappedFile::Status status = file->Open(path.c_str(), size, exact);
  if (status != MappedFile::Status::kOk) OpenFailure(status, path, size, messages);
  // A hint only: where the file system offers large pages, lookups that land
  // anywhere in the files stop paying a TLB miss for each access.
  madvise(file->data(), size, MADV_HUGEPAGE);
  return file->data();
}

// Whether the data file holds no database yet: absent, empty, or never
// initialised (used 0, as a process killed while creating it once left it).
bool NoDatabaseYet(const std::string& dataPath) {
  if (MissingOrEmptyFile(dataPath)) return true;
  FILE* f = fopen(dataPath.c_str(), "rb");
  uint8_t word[4] = {1, 0, 0, 0};
  if (f != nullptr) {
    if (fread(word, 1, 4, f) != 4) word[0] = 0;
    fclose(f);
  }
  if (Load32(word) != 0) return false;
  LogLine("db: hist.dat was never initialised, starting a new history\n");
  return true;
}

// A new database: a cleared table first, then a data file that is whole,
// header and all, before it takes its name. A start killed in between finds
// no data file and begins again.
void CreateDatabase(const std::string& tablePath, const std::string& dataPath, uint32_t tableSize,
                    uint32_t dataSize) {
  MappedFile::Status status = MappedFile::CreateWhole(tablePath, size_t(tableSize) * 4);
  if (status != MappedFile::Status::kOk) OpenFailure(status, tablePath, size_t(tableSize) * 4, kTableMessages);
  std::string header(kHeaderSize, '\0');
  Store32(reinterpret_cast<uint8_t*>(header.data()), kHeaderSize);
  status = MappedFile::CreateWhole(dataPath, dataSize, 0, header);
  if (status != MappedFile::Status::kOk) OpenFailure(status, dataPath, dataSize, kDataMessages);
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

  bool created = NoDatabaseYet(dataPath);
  if (created) CreateDatabase(tablePath, dataPath, tableSize, dataSize);
  int64_t tableLength = FileLength(tablePath);
  histData = MapOrExit(&dataFile, dataPath, dataSize, kDataMessages);
  histDataSize = dataSize;
  uint32_t used = Load32(histData);
  if (used < kHeaderSize || used > dataSize) {
    char text[200];
    snprintf(text, sizeof text, "history file ends at %u, outside HistoryDataSize %u\n", used, dataSize);
    StartupFailure(text);
  }
  // A table of another size (or none) cannot be read: it is cut to size and
  // rebuilt from the entries, marked stale first so that a start killed
  // meanwhile rebuilds it again.
  if (!created && tableLength != int64_t(tableSize) * 4) {
    LogLinef("db: hist.idx holds %lld bytes where HistoryTableSize %u needs %llu, rebuilding it\n",
             static_cast<long long>(std::max<int64_t>(tableLength, 0)), tableSize,
             static_cast<unsigned long long>(tableSize) * 4);
    SetHeaderWord(kTableStaleAt, 1);
  }
  histTable = reinterpret_cast<uint32_t*>(MapOrExit(&tableFile, tablePath, size_t(tableSize) * 4, kTableMessages, true));
  histTableSize = tableSize;
  FinishInterruptedExpiry();
  if (HeaderWord(kTableStaleAt) != 0) RebuildTable();

  stats.dwHistBytesUsed.store(Load32(histData), std::memory_order_relaxed);
  newestEntry.store(0, std::memory_order_relaxed);  // found by a walk when first asked for
  dbClosed.store(0);
  ReadmitReaders();
  return 1;
}

bool histclose() {
  std::lock_guard<std::recursive_mutex> write(csHistoryWrite);
  if (dbClosed.exchange(1) != 0) return true;
  bool dataFlushed = dataFile.Flush();
  bool tableFlushed = tableFile.Flush();
  ShutOutReaders();
  Unmap();
  return dataFlushed && tableFlushed;
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

  newestEntry.store(used, std::memory_order_relaxed);
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
  delete entry;
  return 1;
}

uint32_t HistExpireSerial() { return expireSerial.load(std::memory_order_relaxed); }

namespace hist {

uint32_t FirstEntry(uint32_t end) {
  // The tail before the first entry is shorter than the longest entry.
  for (uint32_t off = kHeaderSize; off < end && off <= kHeaderSize + kMaxEntrySize; off++) {
    if (TrustedEntryAt(off, end)) return off;
  }
  return end;
}

uint32_t NewestEntry(uint32_t end) {
  uint32_t newest = newestEntry.load(std::memory_order_relaxed);
  if (newest != 0 && IsEntryAt(newest, end) && newest + EntryField(newest, kSizeAt) == end) return newest;
  newest = 0;
  for (uint32_t off = FirstEntry(end); off < end && IsEntryAt(off, end); off += EntryField(off, kSizeAt)) {
    newest = off;
  }
  return newest;
}

}  // namespace hist

namespace {

// The offset of absolute `position` under the current serial, or 0 when
// its entry was cut away or it leads to no entry. Inside a reader section.
uint32_t OffsetOf(uint64_t position, uint32_t end) {
  uint64_t cut = CutBefore(expireSerial.load(std::memory_order_relaxed));
  if (position < cut + kHeaderSize) return 0;
  uint64_t off = position - cut;
  return off < end && IsEntryAt(uint32_t(off), end) ? uint32_t(off) : 0;
}

}  // namespace

uint64_t HistAbsolutePosition(const _histentry& entry) {
  return entry.position == 0 ? 0 : entry.position + CutBefore(entry.expireSerial);
}

bool HistEntryAt(uint64_t position, HistFeedBit bit, _histentry* entry) {
  ReaderSection reader;
  uint32_t end = LoadUsed();
  uint32_t off = OffsetOf(position, end);
  if (off == 0 || WantedBits(off, bit) == 0) return false;
  entry->position = off;
  entry->expireSerial = expireSerial.load(std::memory_order_relaxed);
  CopyHeader(off, &entry->header);
  CopyIdentifier(off, end, entry->identifier, sizeof entry->identifier);
  return true;
}

bool HistClearBit(uint64_t position, HistFeedBit bit) {
  ReaderSection reader;
  uint32_t off = OffsetOf(position, LoadUsed());
  return off != 0 && TakeBits(off, bit) != 0;
}

std::string HistMarkAt(uint64_t position) {
  ReaderSection reader;
  uint32_t end = LoadUsed();
  uint64_t cut = CutBefore(expireSerial.load(std::memory_order_relaxed));
  uint32_t off;
  if (position >= cut + end) {
    off = NewestEntry(end);
  } else if (position < cut + kHeaderSize || (off = OffsetOf(position, end)) == 0) {
    off = FirstEntry(end);
  }
  if (off == 0 || off >= end) return "";
  char text[kMaxIdentifier + 2];
  CopyIdentifier(off, end, text, sizeof text);
  return text;
}

void HistStartAt(const char* id, _histentry* cursor) {
  if (_histentry* found = *id != '\0' ? FindArticle(id) : nullptr) {
    cursor->position = found->position;
    cursor->expireSerial = found->expireSerial;
    DestroyEntry(found);
    return;
  }
  ReaderSection reader;
  uint32_t end = LoadUsed();
  cursor->position = FirstEntry(end);
  cursor->expireSerial = expireSerial.load(std::memory_order_relaxed);
}

uint32_t HistClearBitFrom(const char* id, HistFeedBit bit) {
  _histentry start{};
  HistStartAt(id, &start);
  const uint64_t position = HistAbsolutePosition(start);
  ReaderSection reader;
  uint32_t end = LoadUsed();
  uint32_t first = OffsetOf(position, end);
  uint32_t cleared = 0;
  for (uint32_t off = first != 0 ? first : FirstEntry(end); off < end && IsEntryAt(off, end); off += EntryField(off, kSizeAt)) {
    cleared += TakeBits(off, bit) != 0;
  }
  return cleared;
}
