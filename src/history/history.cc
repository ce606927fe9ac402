#include "history/history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <thread>

#include "article/article_id.h"
#include "base/message_log.h"
#include "base/relay_base.h"
#include "history/history_format.h"
#include "platform/mapped_file.h"
#include "platform/process.h"

using namespace hist;

namespace {

constexpr uint32_t kDefaultTableSize = 2097167;
constexpr uint32_t kDefaultDataSize = 314572800;

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
bool NoDatabaseYet(const std::string& dataPath, Log& log) {
  if (MissingOrEmptyFile(dataPath)) return true;
  FILE* f = fopen(dataPath.c_str(), "rb");
  uint8_t word[4] = {1, 0, 0, 0};
  if (f != nullptr) {
    if (fread(word, 1, 4, f) != 4) word[0] = 0;
    fclose(f);
  }
  if (Load32(word) != 0) return false;
  log.LogLine("db: hist.dat was never initialised, starting a new history\n");
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

std::string FilePath(const Config& config, const char* key, const char* name, const char* openFailed) {
  const char* dir = config.GetConfigString(key);
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

void Unmap(Db& db) {
  db.dataFile.Close();
  db.tableFile.Close();
  db.histData = nullptr;
  db.histTable = nullptr;
}

// Slot `slot` was found holding `bad`; clear it unless an append has put a
// fresh offset there in the meantime.
void PruneSlot(Db& db, uint32_t slot, uint32_t bad, const char* line) {
  db.base->log.LogLine(line);
  db.Slot(slot).compare_exchange_strong(bad, 0, std::memory_order_relaxed);
}

// The identifier at `off` equals `id` (with its NUL), within `end`.
bool TextEquals(const Db& db, uint32_t off, const char* id, size_t len, uint32_t end) {
  if (size_t(end) - off - kTextAt < len + 1) return false;
  return memcmp(db.histData + off + kTextAt, id, len + 1) == 0;
}

// Walks the chain from the slot's newest entry; returns the entry's offset
// or 0. Links that lead outside the data stop the walk.
uint32_t SearchChain(const Db& db, uint32_t off, const char* id, size_t len, uint32_t end, uint32_t* links) {
  for (;;) {
    if (TextEquals(db, off, id, len, end)) return off;
    uint32_t previous = db.EntryField(off, kPreviousAt);
    if (previous == 0 || previous >= off || off - previous < kHeaderSize) return 0;
    off -= previous;
    ++*links;
  }
}

}  // namespace

namespace hist {

void Db::EnterReader() {
  for (;;) {
    histLockCount.fetch_add(1, std::memory_order_seq_cst);
    if (bExpirePending.load(std::memory_order_seq_cst) == 0) return;
    LeaveReader();
    std::lock_guard<std::mutex> lock(csHistoryInterlock);
    hEvtHistory.Wait();
  }
}

void Db::ShutOutReaders() {
  bExpirePending.store(1, std::memory_order_seq_cst);
  std::lock_guard<std::mutex> lock(csHistoryInterlock);
  hEvtHistory.Reset();
  while (histLockCount.load(std::memory_order_seq_cst) != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

void Db::ReadmitReaders() {
  hEvtHistory.Set();
  bExpirePending.store(0, std::memory_order_seq_cst);
}

}  // namespace hist

History::History(RelayBase* base) : db_(std::make_unique<Db>(base)) {}

History::~History() { histclose(); }

void History::SetExpireStepHook(void (*hook)(uint32_t done, uint32_t total)) { db_->expireStepHook = hook; }

int History::histinit() {
  Db& db = *db_;
  const Config& config = db.base->config;
  Log& log = db.base->log;
  std::lock_guard<std::recursive_mutex> write(db.csHistoryWrite);
  if (db.dbClosed.load() == 0) return 1;
  std::string tablePath = FilePath(config, "HistoryTablePath", "hist.idx", "could not open table file\n");
  std::string dataPath = FilePath(config, "HistoryDataPath", "hist.dat", "could not open history file\n");
  uint32_t dataSize = kDefaultDataSize, tableSize = kDefaultTableSize;
  config.GetConfigInt("HistoryDataSize", &dataSize);
  config.GetConfigInt("HistoryTableSize", &tableSize);
  CheckSizes(dataSize, tableSize);

  bool created = NoDatabaseYet(dataPath, log);
  if (created) CreateDatabase(tablePath, dataPath, tableSize, dataSize);
  int64_t tableLength = FileLength(tablePath);
  db.histData = MapOrExit(&db.dataFile, dataPath, dataSize, kDataMessages);
  // Appends fault the data file in a page at a time. Read-ahead would, now
  // and then, fill megabytes of pages past the end on one fault, under the
  // spool lock: a stall of every connection for milliseconds.
  madvise(db.histData, dataSize, MADV_RANDOM);
  db.histDataSize = dataSize;
  uint32_t used = Load32(db.histData);
  if (used < kHeaderSize || used > dataSize) {
    char text[200];
    snprintf(text, sizeof text, "history file ends at %u, outside HistoryDataSize %u\n", used, dataSize);
    StartupFailure(text);
  }
  // A table of another size (or none) cannot be read: it is cut to size and
  // rebuilt from the entries, marked stale first so that a start killed
  // meanwhile rebuilds it again.
  if (!created && tableLength != int64_t(tableSize) * 4) {
    log.LogLinef("db: hist.idx holds %lld bytes where HistoryTableSize %u needs %llu, rebuilding it\n",
                 static_cast<long long>(std::max<int64_t>(tableLength, 0)), tableSize,
                 static_cast<unsigned long long>(tableSize) * 4);
    db.SetHeaderWord(kTableStaleAt, 1);
  }
  db.histTable = reinterpret_cast<uint32_t*>(MapOrExit(&db.tableFile, tablePath, size_t(tableSize) * 4, kTableMessages, true));
  db.histTableSize = tableSize;
  db.FinishInterruptedExpiry();
  if (db.HeaderWord(kTableStaleAt) != 0) db.RebuildTable();

  db.base->stats.dwHistBytesUsed.store(Load32(db.histData), std::memory_order_relaxed);
  db.newestEntry.store(0, std::memory_order_relaxed);  // found by a walk when first asked for
  db.dbClosed.store(0);
  db.ReadmitReaders();
  return 1;
}

bool History::histclose() {
  Db& db = *db_;
  std::lock_guard<std::recursive_mutex> write(db.csHistoryWrite);
  if (db.dbClosed.exchange(1) != 0) return true;
  bool dataFlushed = db.dataFile.Flush();
  bool tableFlushed = db.tableFile.Flush();
  db.ShutOutReaders();
  Unmap(db);
  return dataFlushed && tableFlushed;
}

int History::AddArticleToHistory(const char* articleId, const uint32_t feedFlags[4], uint32_t spoolOffset,
                                 uint32_t length, uint32_t spoolFile) {
  uint32_t idHash = hash(articleId, int32_t(strnlen(articleId, kMaxIdentifier + 1)));
  return AddArticleToHistory(articleId, idHash, feedFlags, spoolOffset, length, spoolFile);
}

History::BatchedWakeUps::BatchedWakeUps(History* history) : history_(history) {
  Db& db = *history_->db_;
  std::lock_guard<std::recursive_mutex> write(db.csHistoryWrite);
  db.wakeUpsHeld = true;
}

History::BatchedWakeUps::~BatchedWakeUps() {
  Db& db = *history_->db_;
  uint32_t flags[4];
  {
    std::lock_guard<std::recursive_mutex> write(db.csHistoryWrite);
    db.wakeUpsHeld = false;
    memcpy(flags, db.heldFlags, sizeof flags);
    memset(db.heldFlags, 0, sizeof db.heldFlags);
  }
  db.hEvtAddToHistory.Advance(flags);
}

void History::PrefetchSlot(uint32_t idHash) const {
  const Db& db = *db_;
  if (db.histTable != nullptr) __builtin_prefetch(db.histTable + idHash % db.histTableSize, 1);
}

int History::AddArticleToHistory(const char* articleId, uint32_t idHash, const uint32_t feedFlags[4],
                                 uint32_t spoolOffset, uint32_t length, uint32_t spoolFile) {
  Db& db = *db_;
  RelayStats& stats = db.base->stats;
  std::lock_guard<std::recursive_mutex> write(db.csHistoryWrite);
  if (db.dbClosed.load() != 0) return 0;
  if (double(Load32(db.histData)) > double(db.histDataSize) - double(db.histDataSize) / 100.0) db.DoExpire();

  uint32_t used = Load32(db.histData);
  size_t textLen = strnlen(articleId, kMaxIdentifier + 1);
  uint32_t size = kEntryFixedSize + uint32_t(textLen) + 1;
  if (textLen > kMaxIdentifier || size > db.histDataSize - used) {
    db.base->log.LogLine("exception occured in AddArticleToHistory()");
    return 0;
  }
  uint32_t slot = idHash % db.histTableSize;
  uint32_t newest = db.Slot(slot).load(std::memory_order_relaxed);
  uint32_t previous = 0;
  if (newest != 0) {
    previous = used - newest;
    if (previous > used) {
      db.base->log.LogLine("db: invalid next entry, pruning...\n");
      previous = 0;
    }
  }
  // The entry is complete before used or the slot lead to it.
  uint8_t* e = db.histData + used;
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

  db.newestEntry.store(used, std::memory_order_relaxed);
  db.PublishUsed(used + size);
  stats.dwHistBytesUsed.store(used + size, std::memory_order_relaxed);
  db.Slot(slot).store(used, std::memory_order_release);
  Bump(stats.dbInsertOps);
  if (db.wakeUpsHeld) {
    for (int w = 0; w < 4; w++) db.heldFlags[w] |= feedFlags[w];
  } else {
    db.hEvtAddToHistory.Advance(feedFlags);
  }
  return 1;
}

_histentry* History::FindArticle(const char* articleId) {
  Db& db = *db_;
  RelayStats& stats = db.base->stats;
  ReaderSection reader(db);
  Bump(stats.dbSearchOps);
  size_t len = strlen(articleId);
  uint32_t slot = hash(articleId, int32_t(len)) % db.histTableSize;
  uint32_t newest = db.Slot(slot).load(std::memory_order_acquire);
  if (newest == 0) return nullptr;
  uint32_t end = db.LoadUsed();
  if (newest > end || end - newest < kMinEntrySize) {
    PruneSlot(db, slot, newest, "db: tried to get an unused entry, pruning\n");
    return nullptr;
  }
  if (newest < kHeaderSize || db.EntryField(newest, kMagicAt) != kMagic || db.EntryField(newest, kSlotAt) != slot) {
    PruneSlot(db, slot, newest, "db: database corrupted, pruning a branch\n");
    return nullptr;
  }
  uint32_t links = 0;
  uint32_t found = SearchChain(db, newest, articleId, len, end, &links);
  RaiseTo(stats.dbMaxDepth, links);
  BumpBy(stats.dbDepth, links);
  if (found == 0) return nullptr;

  _histentry* entry = new _histentry{};
  entry->position = found;
  db.CopyHeader(found, &entry->header);
  entry->expireSerial = db.expireSerial.load(std::memory_order_relaxed);
  return entry;
}

int History::DestroyEntry(_histentry* entry) {
  delete entry;
  return 1;
}

uint32_t History::HistExpireSerial() const { return db_->expireSerial.load(std::memory_order_relaxed); }

namespace hist {

uint32_t Db::FirstEntry(uint32_t end) const {
  // The tail before the first entry is shorter than the longest entry.
  for (uint32_t off = kHeaderSize; off < end && off <= kHeaderSize + kMaxEntrySize; off++) {
    if (TrustedEntryAt(off, end)) return off;
  }
  return end;
}

uint32_t Db::NewestEntry(uint32_t end) const {
  uint32_t newest = newestEntry.load(std::memory_order_relaxed);
  if (newest != 0 && IsEntryAt(newest, end) && newest + EntryField(newest, kSizeAt) == end) return newest;
  newest = 0;
  for (uint32_t off = FirstEntry(end); off < end && IsEntryAt(off, end); off += EntryField(off, kSizeAt)) {
    newest = off;
  }
  return newest;
}

uint32_t Db::OffsetOf(uint64_t position, uint32_t end) const {
  uint64_t cut = CutBefore(expireSerial.load(std::memory_order_relaxed));
  if (position < cut + kHeaderSize) return 0;
  uint64_t off = position - cut;
  return off < end && IsEntryAt(uint32_t(off), end) ? uint32_t(off) : 0;
}

}  // namespace hist

uint64_t History::HistAbsolutePosition(const _histentry& entry) const {
  return entry.position == 0 ? 0 : entry.position + db_->CutBefore(entry.expireSerial);
}

bool History::HistEntryAt(uint64_t position, HistFeedBit bit, _histentry* entry) {
  Db& db = *db_;
  ReaderSection reader(db);
  uint32_t end = db.LoadUsed();
  uint32_t off = db.OffsetOf(position, end);
  if (off == 0 || db.WantedBits(off, bit) == 0) return false;
  entry->position = off;
  entry->expireSerial = db.expireSerial.load(std::memory_order_relaxed);
  db.CopyHeader(off, &entry->header);
  db.CopyIdentifier(off, end, entry->identifier, sizeof entry->identifier);
  return true;
}

bool History::HistClearBit(uint64_t position, HistFeedBit bit) {
  Db& db = *db_;
  ReaderSection reader(db);
  uint32_t off = db.OffsetOf(position, db.LoadUsed());
  return off != 0 && db.TakeBits(off, bit) != 0;
}

std::string History::HistMarkAt(uint64_t position) {
  Db& db = *db_;
  ReaderSection reader(db);
  uint32_t end = db.LoadUsed();
  uint64_t cut = db.CutBefore(db.expireSerial.load(std::memory_order_relaxed));
  uint32_t off;
  if (position >= cut + end) {
    off = db.NewestEntry(end);
  } else if (position < cut + kHeaderSize || (off = db.OffsetOf(position, end)) == 0) {
    off = db.FirstEntry(end);
  }
  if (off == 0 || off >= end) return "";
  char text[kMaxIdentifier + 2];
  db.CopyIdentifier(off, end, text, sizeof text);
  return text;
}

void History::HistStartAt(const char* id, _histentry* cursor) {
  Db& db = *db_;
  if (_histentry* found = *id != '\0' ? FindArticle(id) : nullptr) {
    cursor->position = found->position;
    cursor->expireSerial = found->expireSerial;
    DestroyEntry(found);
    return;
  }
  ReaderSection reader(db);
  uint32_t end = db.LoadUsed();
  cursor->position = db.FirstEntry(end);
  cursor->expireSerial = db.expireSerial.load(std::memory_order_relaxed);
}

uint32_t History::HistClearBitFrom(const char* id, HistFeedBit bit) {
  Db& db = *db_;
  _histentry start{};
  HistStartAt(id, &start);
  const uint64_t position = HistAbsolutePosition(start);
  ReaderSection reader(db);
  uint32_t end = db.LoadUsed();
  uint32_t first = db.OffsetOf(position, end);
  uint32_t cleared = 0;
  for (uint32_t off = first != 0 ? first : db.FirstEntry(end); off < end && db.IsEntryAt(off, end); off += db.EntryField(off, kSizeAt)) {
    cleared += db.TakeBits(off, bit) != 0;
  }
  return cleared;
}
