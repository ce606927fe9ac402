#include "dedupe/seen.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/message_log.h"
#include "platform/mapped_file.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kDefaultDataCount = 50000;
constexpr uint32_t kDefaultTableSize = 55997;
constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;

constexpr size_t kHeaderSize = 136;
constexpr size_t kPositionOffset = 4;
constexpr size_t kTableStaleOffset = 8;
constexpr size_t kRecordSize = 12;
constexpr size_t kKeyLowOffset = 0;
constexpr size_t kKeyHighOffset = 4;
constexpr size_t kNextOffset = 8;

// Every field of both files is a 4-byte word at a multiple of 4 from the
// page-aligned start of its mapping, so it can be accessed atomically in
// place. Lookups run without a lock beside the one writer: the writer
// publishes a record before the slot and the position that lead to it.
inline uint32_t FromLittle(uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline uint32_t Load(const uint8_t* field, std::memory_order order = std::memory_order_relaxed) {
  return FromLittle(std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(field))).load(order));
}

inline void Store(uint8_t* field, uint32_t value, std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(field)).store(FromLittle(value), order);
}

inline uint64_t Key(uint32_t low, uint32_t high) { return (uint64_t(high) << 32) | low; }

// True when `next` was written before `current`, counting in ring order
// from `position`, the oldest record. A link into the record at `position`
// never passes: whatever it once named has been overwritten.
inline bool LinkLeadsToOlder(uint32_t current, uint32_t next, uint32_t position) {
  if (current <= position) return next < current || next > position;
  return next > position && next < current;
}

SeenOpenResult TableFailure(MappedFile::Status status) {
  if (status == MappedFile::Status::kOpenFailed) return SeenOpenResult::kTableOpenFailed;
  return status == MappedFile::Status::kNoSpace ? SeenOpenResult::kNoSpace : SeenOpenResult::kTableMapFailed;
}

SeenOpenResult DataFailure(MappedFile::Status status) {
  if (status == MappedFile::Status::kOpenFailed) return SeenOpenResult::kDataOpenFailed;
  return status == MappedFile::Status::kNoSpace ? SeenOpenResult::kNoSpace : SeenOpenResult::kDataMapFailed;
}

}  // namespace

uint8_t* SeenDb::Record(uint32_t index) const { return records_ + size_t(index) * kRecordSize; }
uint8_t* SeenDb::Position() const { return header_ + kPositionOffset; }
// Nonzero while seen.idx may not match the ring; the next start rebuilds it.
uint8_t* SeenDb::TableStale() const { return header_ + kTableStaleOffset; }

size_t SeenDb::Bytes() const { return size_t(tableSize_) * 4 + size_t(dataCount_) * kRecordSize + kHeaderSize; }

// A new database: an empty table (every slot 0xFFFFFFFF), then a zeroed ring
// that takes its name only once it is whole.
SeenOpenResult SeenDb::CreateDatabase(size_t tableBytes, size_t dataBytes) {
  MappedFile::Status status = MappedFile::CreateWhole(tablePath_, tableBytes, 0xFF);
  if (status != MappedFile::Status::kOk) return TableFailure(status);
  status = MappedFile::CreateWhole(dataPath_, dataBytes);
  if (status != MappedFile::Status::kOk) return DataFailure(status);
  return SeenOpenResult::kOk;
}

// Links the ring's records into a cleared table, oldest first, as the adds
// made them; the record at the position is the next to be overwritten and
// counts as free, and never-written records (key 0) are left out.
void SeenDb::RebuildTable() {
  memset(table_, 0xFF, size_t(tableSize_) * 4);
  uint32_t position = Load(Position()), linked = 0;
  for (uint32_t k = 1; k < dataCount_; k++) {
    uint32_t index = (position + k) % dataCount_;
    uint8_t* record = Record(index);
    uint32_t low = Load(record + kKeyLowOffset), high = Load(record + kKeyHighOffset);
    if (low == 0 && high == 0) continue;
    uint8_t* slot = Slot(Key(low, high));
    Store(record + kNextOffset, Load(slot));
    Store(slot, index);
    linked++;
  }
  Store(TableStale(), 0, std::memory_order_release);
  base_->log.LogLinef("seen: rebuilt the table of %u slots from %u keys of the ring", tableSize_, linked);
}

SeenOpenResult SeenDb::SeenOpen(const char* tableDir, const char* dataDir, uint32_t dataCount, uint32_t tableSize) {
  SeenClose();
  dataCount_ = dataCount != 0 ? dataCount : kDefaultDataCount;
  tableSize_ = tableSize != 0 ? tableSize : kDefaultTableSize;
  if (tableDir == nullptr) return SeenOpenResult::kTableOpenFailed;
  if (dataDir == nullptr) return SeenOpenResult::kDataOpenFailed;
  tablePath_ = std::string(tableDir) + "/seen.idx";
  dataPath_ = std::string(dataDir) + "/seen.dat";
  const size_t tableBytes = size_t(tableSize_) * 4;
  const size_t dataBytes = size_t(dataCount_) * kRecordSize + kHeaderSize;
  bool created = MissingOrEmptyFile(dataPath_);
  if (created) {
    SeenOpenResult result = CreateDatabase(tableBytes, dataBytes);
    if (result != SeenOpenResult::kOk) return result;
  }
  int64_t tableLength = FileLength(tablePath_);
  MappedFile::Status status = dataFile_.Open(dataPath_.c_str(), dataBytes);
  if (status != MappedFile::Status::kOk) return DataFailure(status);
  header_ = dataFile_.data();
  records_ = header_ + kHeaderSize;
  // A table of another size (or none) cannot be read: it is cut to size and
  // rebuilt from the ring, marked stale first so that a start killed
  // meanwhile rebuilds it again.
  if (!created && tableLength != int64_t(tableBytes)) {
    base_->log.LogLinef("seen: seen.idx holds %lld bytes where SeenTableSize %u needs %zu, rebuilding it",
             static_cast<long long>(std::max<int64_t>(tableLength, 0)), tableSize_, tableBytes);
    Store(TableStale(), 1, std::memory_order_release);
  }
  status = tableFile_.Open(tablePath_.c_str(), tableBytes, true);
  if (status != MappedFile::Status::kOk) {
    SeenClose();
    return TableFailure(status);
  }
  table_ = tableFile_.data();
  // A ring written with more records than configured now may stand beyond
  // the end; writing there would fall outside the mapping.
  uint32_t position = Load(Position());
  if (position >= dataCount_) {
    base_->log.LogLinef("seen: position %u beyond the %u records of the ring, starting again at 0", position, dataCount_);
    Store(Position(), 0);
  }
  if (Load(TableStale(), std::memory_order_acquire) != 0) RebuildTable();
  return SeenOpenResult::kOk;
}

std::unique_ptr<SeenDb> SeenInit(RelayBase* base) {
  const Config& config = base->config;
  uint32_t dataCount = kDefaultDataCount, tableSize = kDefaultTableSize;
  config.GetConfigInt("SeenDataCount", &dataCount);
  config.GetConfigInt("SeenTableSize", &tableSize);
  auto seen = std::make_unique<SeenDb>(base);
  switch (seen->SeenOpen(config.GetConfigString("HistoryTablePath"), config.GetConfigString("HistoryDataPath"), dataCount,
                         tableSize)) {
    case SeenOpenResult::kOk: return seen;
    case SeenOpenResult::kTableOpenFailed: StartupFailure("could not open table file\n");
    case SeenOpenResult::kTableMapFailed: StartupFailure("could not map table file\n");
    case SeenOpenResult::kDataOpenFailed: StartupFailure("could not open seen file\n");
    case SeenOpenResult::kDataMapFailed: StartupFailure("could not map history file\n");
    case SeenOpenResult::kNoSpace: break;
  }
  StartupFailure("no disk space for " + seen->TablePath() + " and " + seen->DataPath() + " (" +
                 std::to_string(seen->Bytes()) + " bytes)\n");
}

void SeenDb::PrefetchSlot(uint32_t keyLow, uint32_t keyHigh) const {
  if (table_ != nullptr) __builtin_prefetch(Slot(Key(keyLow, keyHigh)), 1);
}

void SeenDb::PrefetchRecord(uint32_t keyLow, uint32_t keyHigh) const {
  if (table_ == nullptr) return;
  uint32_t current = Load(Slot(Key(keyLow, keyHigh)), std::memory_order_relaxed);
  if (current < dataCount_) __builtin_prefetch(Record(current));
}

int SeenDb::CheckSeen(uint32_t keyLow, uint32_t keyHigh) const {
  Bump(base_->stats.seenSearchCount);
  uint32_t current = Load(Slot(Key(keyLow, keyHigh)), std::memory_order_acquire);
  if (current >= dataCount_) return 0;
  // One reading of the position for the whole walk: against a fixed
  // position every link followed goes strictly further back in the ring,
  // so the walk ends whatever the writer does meanwhile.
  uint32_t position = Load(Position(), std::memory_order_acquire);
  uint32_t depth = 0;
  int found = 0;
  for (;;) {
    const uint8_t* record = Record(current);
    if (Load(record + kKeyLowOffset) == keyLow && Load(record + kKeyHighOffset) == keyHigh) {
      found = 1;
      break;
    }
    uint32_t next = Load(record + kNextOffset);
    if (next >= dataCount_ || !LinkLeadsToOlder(current, next, position)) break;
    current = next;
    depth++;
  }
  if (depth != 0) {
    BumpBy(base_->stats.seenDepth, depth);
    RaiseTo(base_->stats.seenMaxDepth, depth);
  }
  return found;
}

int SeenDb::AddSeen(uint32_t keyLow, uint32_t keyHigh) {
  uint8_t* slot = Slot(Key(keyLow, keyHigh));
  uint32_t position = Load(Position());
  uint8_t* record = Record(position);
  Store(record + kKeyLowOffset, keyLow);
  Store(record + kKeyHighOffset, keyHigh);
  Store(record + kNextOffset, Load(slot));
  Store(slot, position, std::memory_order_release);
  position = position + 1 == dataCount_ ? 0 : position + 1;
  Store(Position(), position, std::memory_order_release);
  return 1;
}

bool SeenDb::SeenFlush() {
  bool tableOk = tableFile_.Flush();
  bool dataOk = dataFile_.Flush();
  return tableOk && dataOk;
}

SeenFigures SeenDb::Figures() const {
  if (header_ == nullptr) return SeenFigures{0, 0};
  return SeenFigures{dataCount_, Load(Position())};
}

void SeenDb::SeenClose() {
  tableFile_.Close();
  dataFile_.Close();
  table_ = header_ = records_ = nullptr;
}
