// The seen database: the identifier keys of the last SeenDataCount articles
// stored (or marked as seen), kept in two memory-mapped files that survive
// restarts. It answers "has this key been seen recently?" without a lock.
//
// seen.idx (in HistoryTablePath): SeenTableSize slots of 4 bytes, no header.
//   Slot i holds the index of the newest record whose key modulo
//   SeenTableSize is i; any value not below SeenDataCount means empty.
// seen.dat (in HistoryDataPath): a 136-byte header, then SeenDataCount
//   records of 12 bytes, a ring written in index order.
//   header  0: reserved (0 when created)
//           4: position, the record the next key overwrites
//           8: table stale: nonzero while seen.idx may not match the ring
//              (a rebuild under way); the next start rebuilds it
//          12: 124 reserved bytes (zero)
//   record  0: key, low 32 bits   4: key, high 32 bits
//           8: next, the record that was the slot's newest before this one
// Every number is a 32-bit little-endian unsigned value.
//
// A link is followed only towards a strictly older record of the ring, so a
// chain ends where a record has been overwritten since it was linked, and
// every walk ends even on a damaged file.
//
// A new database takes its files' names only once they are whole, so a
// process killed while creating it leaves nothing a later start trips over.
// A seen.idx of another size than SeenTableSize asks for (the key changed,
// or the file was lost) is rebuilt from the ring at start-up, and logged.
// Every block of both files is allocated when they are opened.
#pragma once
#include <cstdint>

#include <memory>
#include <string>

#include "base/relay_base.h"
#include "platform/mapped_file.h"

enum class SeenOpenResult {
  kOk,
  kTableOpenFailed,  // "could not open table file"
  kTableMapFailed,   // "could not map table file"
  kDataOpenFailed,   // "could not open seen file"
  kDataMapFailed,    // "could not map history file"
  kNoSpace,          // the disk has no room for all the blocks of the files
};

// The ring's size in records and the record the next key overwrites (both
// 0 while the database is closed). Takes no lock.
struct SeenFigures {
  uint32_t records;
  uint32_t position;
};

// One seen database, open or closed. The relay owns its database; the
// spool and the connections borrow it until the relay's stop has ended
// them. Closing (or destroying) it unmaps both files. It logs to `base`'s
// log and counts its look-ups in `base`'s counters; `base` must outlive it.
class SeenDb {
 public:
  explicit SeenDb(RelayBase* base) : base_(base) {}
  ~SeenDb() { SeenClose(); }
  SeenDb(const SeenDb&) = delete;
  SeenDb& operator=(const SeenDb&) = delete;

  // Opens (or creates) "<tableDir>/seen.idx" and "<dataDir>/seen.dat" with
  // `dataCount` records and `tableSize` slots (0 takes the default, 50000
  // and 55997), closing a database opened before. A new data file starts an
  // empty database; an existing one is used as it stands. A null directory
  // fails like a file that cannot be opened.
  SeenOpenResult SeenOpen(const char* tableDir, const char* dataDir, uint32_t dataCount, uint32_t tableSize);

  // 1 when the key (low half, high half) is in the database, 0 otherwise.
  // Callable from any thread at any time, also while a key is being added;
  // a lookup racing with the add of its own key may miss it.
  int CheckSeen(uint32_t keyLow, uint32_t keyHigh) const;

  // Ask the processor to fetch what a CheckSeen and AddSeen of the key
  // touch: its table slot, and the record that slot leads to, which is
  // known only once the slot has arrived. For a batch of keys, every slot
  // first and then every record makes their cache misses overlap.
  void PrefetchSlot(uint32_t keyLow, uint32_t keyHigh) const;
  void PrefetchRecord(uint32_t keyLow, uint32_t keyHigh) const;

  // Writes the key over the oldest record and returns 1. Callers serialise
  // their adds (the spool lock); lookups may run meanwhile.
  int AddSeen(uint32_t keyLow, uint32_t keyHigh);

  SeenFigures Figures() const;

  // Writes both files back to disk and waits for it; false on an I/O error.
  bool SeenFlush();

  // Unmaps both files.
  void SeenClose();

  // The files' paths and their bytes together, for messages.
  std::string TablePath() const { return tablePath_; }
  std::string DataPath() const { return dataPath_; }
  size_t Bytes() const;

 private:
  uint8_t* Slot(uint64_t key) const { return table_ + size_t(key % tableSize_) * 4; }
  uint8_t* Record(uint32_t index) const;
  uint8_t* Position() const;
  uint8_t* TableStale() const;
  SeenOpenResult CreateDatabase(size_t tableBytes, size_t dataBytes);
  void RebuildTable();

  RelayBase* const base_;
  MappedFile tableFile_;
  MappedFile dataFile_;
  uint8_t* table_ = nullptr;
  uint8_t* header_ = nullptr;
  uint8_t* records_ = nullptr;
  uint32_t tableSize_ = 0;
  uint32_t dataCount_ = 0;
  std::string tablePath_;
  std::string dataPath_;
};

// Start-up: the relay's database as configured (SeenDataCount,
// SeenTableSize, HistoryTablePath, HistoryDataPath). On failure prints the
// reason on standard output and ends the process with exit code 1.
std::unique_ptr<SeenDb> SeenInit(RelayBase* base);
