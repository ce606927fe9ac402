// The history database: the relay's index of stored articles and, walked in
// arrival order, its queue towards the outgoing sites.
//
// Two memory-mapped files hold it. "hist.dat" is a 160-byte header (used, the
// offset where the next entry goes, at byte 0) followed by entries appended
// back to back in arrival order; "hist.idx" is a table of 32-bit slots, each
// the offset of the newest entry whose identifier hash falls into it. Entries
// of one slot form a chain through their "previous" distances, newest first.
// When the data file is 99% full, the oldest fifth is cut away and the rest
// moves to the front (expiry).
//
// One writer at a time appends (callers already serialise appends with the
// spool lock; the history's own write lock makes that so regardless). Lookups
// and the feeders' cursors (history_cursor.h) read the mapped data without a
// lock; they count themselves as readers so that an expiry can wait for them
// to leave before it moves data, and new readers wait until it is done.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

// An entry's first 48 bytes as they stand in "hist.dat" (little-endian words
// at odd offsets there; a plain aligned struct here).
struct HistEntryHeader {
  uint32_t magic;        // 0xFFFFFFFF at the start of every entry
  uint32_t size;         // 48 + identifier length + 1: the next entry follows
  uint32_t slot;         // table slot of the identifier
  uint32_t previous;     // distance back to the slot's previous newest entry; 0 = none
  uint32_t reserved;     // 0
  uint32_t feedFlags[4]; // one bit per outgoing site that still wants the article
  uint32_t spoolOffset;  // where the stored text starts in its spool file
  uint32_t length;       // bytes of stored text
  uint32_t spoolFile;    // number in the spool file's name
};
static_assert(sizeof(HistEntryHeader) == 48);

// A site's bit in the feed flags: word `wordIndex` (0 to 3) under `bitMask`.
// A site's distribution carries its bit in the same two fields; a cursor keeps
// its own copy, so a feeder goes on with the bit it was made with when the
// site's distribution is later replaced.
struct HistFeedBit {
  uint32_t bitMask = 0;
  uint32_t wordIndex = 0;
};

// An entry handed out by a lookup, and a feeder's position in the history.
// A value-initialised record (`_histentry{}`) has no position. A record holds
// positions only: the spool file an article is sent from is the sender's.
struct _histentry {
  // Offset of the entry in "hist.dat"; 0 = no position (a cursor then starts
  // at the end of the history). An offset rather than an address, so that a
  // stale position can only ever be checked, never dereferenced.
  uint32_t position = 0;
  char identifier[256] = {};   // Message-ID text; filled by the cursor only
  HistEntryHeader header = {};
  HistFeedBit distribution;    // the site's bit, used by the cursor
  uint32_t expireSerial = 0;   // expiry count under which position was valid
  char feedType = 0;           // the cursor's article filter
  uint16_t deferrals = 0;      // times its site said "try again later" (feeds)
  // The new-entry sequences of the cursor's bit and of wake-ups of all, as
  // they stood before its last step (new_entry_signal.h).
  uint32_t lookedAt = 0;
  uint32_t lookedAtAll = 0;
};

namespace hist {
struct Db;
}
struct RelayBase;

// One history database. The relay owns it; the spool appends to it and the
// sites' feeders walk it, borrowing it until the relay's stop has ended
// them. It logs to, and counts in, `base`, which must outlive it.
class History {
 public:
  explicit History(RelayBase* base);
  ~History();  // closes the database
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  // Opens or creates both files from the configuration (HistoryTablePath,
  // HistoryDataPath, HistoryTableSize, HistoryDataSize) and opens the
  // database. Returns 1. Prints a message on standard output and ends the
  // process with exit code 1 when a file cannot be opened or mapped, the
  // disk has no room for all of its blocks, a path is missing, or a size is
  // unusable (a table of 0 slots, or a data size whose last hundredth cannot
  // hold the largest entry, 303 bytes).
  //
  // A process may die at any moment without costing a later start anything:
  // a new database takes its files' names only once they are whole; an
  // expiry records its progress in the header, and the next start finishes
  // it; a table that may not match the entries (after such a kill, or when
  // HistoryTableSize changed, or hist.idx was lost) is rebuilt from them.
  // Each repair is logged with a line beginning "db: ".
  int histinit();

  // Flushes both files, waits for readers to leave and unmaps them.
  // Afterwards appends return 0 and readers wait until the database is
  // opened again. False when the files could not be written back to disk.
  bool histclose();

  // Appends the entry of one stored article and wakes the waiting feeders.
  // `articleId` is the Message-ID without angle brackets (at most 254
  // characters); `feedFlags` the four flag words. Runs an expiry first when
  // the data file is 99% full. Returns 1 when appended, 0 when the database
  // is closed or the entry cannot be written.
  int AddArticleToHistory(const char* articleId, const uint32_t feedFlags[4], uint32_t spoolOffset,
                          uint32_t length, uint32_t spoolFile);
  // The same for a caller that has the identifier's hash already (`idHash`
  // of GetArticleID, which must be hash(articleId)).
  int AddArticleToHistory(const char* articleId, uint32_t idHash, const uint32_t feedFlags[4],
                          uint32_t spoolOffset, uint32_t length, uint32_t spoolFile);

  // Asks the processor to fetch the hash slot an identifier with this hash
  // is entered in. A writer that calls it for a batch of articles before it
  // appends them waits for their slots' cache misses together, not one
  // after another. The caller holds what keeps appends out (the spool
  // lock); nothing happens when the database is closed.
  void PrefetchSlot(uint32_t idHash) const;

  // While one lives, the appends of its thread wake no feeder; when it
  // goes, the feeders of every bit appended meanwhile are woken, once. For
  // a writer that appends a batch: a wake-up for the batch, where one for
  // each entry would find the feeders still busy with the last. Held by
  // one writer at a time (the spool's, under its lock).
  class BatchedWakeUps {
   public:
    explicit BatchedWakeUps(History* history);
    ~BatchedWakeUps();
    BatchedWakeUps(const BatchedWakeUps&) = delete;
    BatchedWakeUps& operator=(const BatchedWakeUps&) = delete;

   private:
    History* history_;
  };

  // Looks up a Message-ID (exact byte comparison). Returns a new record with
  // position, header and expireSerial set (the serial current at the
  // lookup, under which the position is valid), or nullptr when the
  // identifier is not in the history. Release the record with DestroyEntry.
  _histentry* FindArticle(const char* articleId);

  // Frees a record from FindArticle. Returns 1.
  static int DestroyEntry(_histentry* entry);

  // Number of expiries since the database was first opened by this object.
  uint32_t HistExpireSerial() const;

  // A position that names one entry for the life of this object, however
  // many expiries move it: its offset plus every byte cut away before the
  // expiry serial under which the offset is valid. 0 for a record without
  // a position.
  uint64_t HistAbsolutePosition(const _histentry& entry) const;

  // Fills `entry` (position, expireSerial, header, identifier) from the
  // entry at absolute `position` if it is still in the history and still
  // flagged under `bit`; false otherwise (cut away by an expiry, or
  // answered).
  bool HistEntryAt(uint64_t position, HistFeedBit bit, _histentry* entry);

  // Clears `bit` of the entry at absolute `position`, if it is still in the
  // history; true when the bit was set. Atomic with respect to other sites
  // clearing their bits.
  bool HistClearBit(uint64_t position, HistFeedBit bit);

  // The Message-ID of an entry at or before absolute `position`, such that
  // a walk started at that entry passes every entry from `position` on: the
  // entry itself, the oldest entry when it was cut away, the newest when
  // `position` is the end; "" when the history holds no entry, which stands
  // for the oldest entry.
  std::string HistMarkAt(uint64_t position);

  // Sets `cursor` (position and expireSerial) at the entry `id`, or at the
  // oldest entry when `id` is "" or not in the history (cut away since).
  void HistStartAt(const char* id, _histentry* cursor);

  // Walks every entry from the one `id` names (or from the oldest) to the
  // end and clears `bit`; returns how many had it set. For a slot whose
  // owner changed.
  uint32_t HistClearBitFrom(const char* id, HistFeedBit bit);

  // For tests: called as an expiry goes, with the bytes of data moved so
  // far and the bytes to move: (0, total) once its record is written, after
  // each step, and (total + 1, total) once the new end is stored, before
  // the record is cleared. nullptr: nothing is called.
  void SetExpireStepHook(void (*hook)(uint32_t done, uint32_t total));

  // The database's state, for the cursor (history_cursor.h).
  hist::Db& db() { return *db_; }

 private:
  std::unique_ptr<hist::Db> db_;
};
