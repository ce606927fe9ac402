#include "dedupe/seen.h"

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/mapped_file.h"
#include "platform/process.h"
#include "service/config.h"
#include "service/log.h"
#include "service/stats.h"

namespace {

constexpr uint32_t kDefaultDataCount = 50000;
constexpr uint32_t kDefaultTableSize = 55997;
constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;

constexpr size_t kHeaderSize = 136;
constexpr size_t kPositionOffset = 4;
constexpr size_t kRecordSize = 12;
constexpr size_t kKeyLowOffset = 0;
constexpr size_t kKeyHighOffset = 4;
constexpr size_t kNextOffset = 8;

MappedFile tableFile;
MappedFile dataFile;
uint8_t* seenTable = nullptr;
uint8_t* seenHeader = nullptr;
uint8_t* seenDB = nullptr;
uint32_t seenTableSize = 0;
uint32_t seenDataCount = 0;
std::string seentablepath;
std::string seendatapath;

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

inline uint8_t* Slot(uint64_t key) { return seenTable + size_t(key % seenTableSize) * 4; }
inline uint8_t* Record(uint32_t index) { return seenDB + size_t(index) * kRecordSize; }
inline uint8_t* Position() { return seenHeader + kPositionOffset; }
inline uint64_t Key(uint32_t low, uint32_t high) { return (uint64_t(high) << 32) | low; }

// True when `next` was written before `current`, counting in ring order
// from `position`, the oldest record. A link into the record at `position`
// never passes: whatever it once named has been overwritten.
inline bool LinkLeadsToOlder(uint32_t current, uint32_t next, uint32_t position) {
  if (current <= position) return next < current || next > position;
  return next > position && next < current;
}

void ResetEmpty() {
  memset(seenTable, 0xFF, size_t(seenTableSize) * 4);
  memset(seenHeader, 0, kHeaderSize);
}

}  // namespace

SeenOpenResult SeenOpen(const char* tableDir, const char* dataDir, uint32_t dataCount,
                        uint32_t tableSize) {
  SeenClose();
  seenDataCount = dataCount != 0 ? dataCount : kDefaultDataCount;
  seenTableSize = tableSize != 0 ? tableSize : kDefaultTableSize;
  if (tableDir == nullptr) return SeenOpenResult::kTableOpenFailed;
  seentablepath = std::string(tableDir) + "/seen.idx";
  switch (tableFile.Open(seentablepath.c_str(), size_t(seenTableSize) * 4)) {
    case MappedFile::Status::kOk: break;
    case MappedFile::Status::kOpenFailed: return SeenOpenResult::kTableOpenFailed;
    case MappedFile::Status::kMapFailed: return SeenOpenResult::kTableMapFailed;
  }
  if (dataDir == nullptr) {
    tableFile.Close();
    return SeenOpenResult::kDataOpenFailed;
  }
  seendatapath = std::string(dataDir) + "/seen.dat";
  MappedFile::Status status = dataFile.Open(seendatapath.c_str(), size_t(seenDataCount) * kRecordSize + kHeaderSize);
  if (status != MappedFile::Status::kOk) {
    tableFile.Close();
    return status == MappedFile::Status::kOpenFailed ? SeenOpenResult::kDataOpenFailed
                                                     : SeenOpenResult::kDataMapFailed;
  }
  seenTable = tableFile.data();
  seenHeader = dataFile.data();
  seenDB = seenHeader + kHeaderSize;
  if (dataFile.original_size() == 0) ResetEmpty();
  // A ring written with more records than configured now may stand beyond
  // the end; writing there would fall outside the mapping.
  uint32_t position = Load(Position());
  if (position >= seenDataCount) {
    LogLinef("seen: position %u beyond the %u records of the ring, starting again at 0", position,
             seenDataCount);
    Store(Position(), 0);
  }
  return SeenOpenResult::kOk;
}

int seeninit() {
  uint32_t dataCount = kDefaultDataCount, tableSize = kDefaultTableSize;
  GetConfigInt("SeenDataCount", &dataCount);
  GetConfigInt("SeenTableSize", &tableSize);
  const char* message = nullptr;
  switch (SeenOpen(GetConfigString("HistoryTablePath"), GetConfigString("HistoryDataPath"), dataCount,
                   tableSize)) {
    case SeenOpenResult::kOk: return 1;
    case SeenOpenResult::kTableOpenFailed: message = "could not open table file\n"; break;
    case SeenOpenResult::kTableMapFailed: message = "could not map table file\n"; break;
    case SeenOpenResult::kDataOpenFailed: message = "could not open seen file\n"; break;
    case SeenOpenResult::kDataMapFailed: message = "could not map history file\n"; break;
  }
  fputs(message, stdout);
  ExitProcess(1);
}

int SeenInit() { return seeninit(); }

int CheckSeen(uint32_t keyLow, uint32_t keyHigh) {
  Bump(stats.seenSearchCount);
  uint32_t current = Load(Slot(Key(keyLow, keyHigh)), std::memory_order_acquire);
  if (current >= seenDataCount) return 0;
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
    if (next >= seenDataCount || !LinkLeadsToOlder(current, next, position)) break;
    current = next;
    depth++;
  }
  if (depth != 0) {
    BumpBy(stats.seenDepth, depth);
    RaiseTo(stats.seenMaxDepth, depth);
  }
  return found;
}

int AddSeen(uint32_t keyLow, uint32_t keyHigh) {
  uint8_t* slot = Slot(Key(keyLow, keyHigh));
  uint32_t position = Load(Position());
  uint8_t* record = Record(position);
  Store(record + kKeyLowOffset, keyLow);
  Store(record + kKeyHighOffset, keyHigh);
  Store(record + kNextOffset, Load(slot));
  Store(slot, position, std::memory_order_release);
  position = position + 1 == seenDataCount ? 0 : position + 1;
  Store(Position(), position, std::memory_order_release);
  return 1;
}

bool SeenFlush() {
  bool tableOk = tableFile.Flush();
  bool dataOk = dataFile.Flush();
  return tableOk && dataOk;
}

void SeenClose() {
  tableFile.Close();
  dataFile.Close();
  seenTable = seenHeader = seenDB = nullptr;
}
