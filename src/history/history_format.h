// Inside the history module: the byte layout of "hist.dat" and "hist.idx",
// field access on the mapped bytes, and the state shared by the database,
// its expiry and the cursor. Not for use outside src/history/.
//
// hist.dat: bytes 0..159 header, then entries packed back to back from 160
// up to used. Header words:
//    0 used: where the next entry goes (160 when empty; 0 only in a file
//      that was never initialised)
//    4 expiry cut: nonzero while an expiry moves the data down by this many
//      bytes; 8 the bytes moved so far; 12 used before that expiry
//   16 table stale: nonzero while hist.idx may not match the entries (an
//      expiry or a rebuild under way); the next start rebuilds it
//   116 reserved; all other bytes zero.
// A file from before the expiry record and the stale mark has zeros there,
// which read as "no expiry under way, table matches". Entry layout,
// offsets relative to the entry's start (which may be odd):
//    0 magic 0xFFFFFFFF    4 size          8 slot        12 previous
//   16 reserved 0         20 feed flags, four words    36 spool offset
//   40 length             44 spool file   48 identifier text and its NUL
// hist.idx: one 32-bit offset per slot, 0 = empty.
// All numbers are little-endian 32-bit unsigned.
//
// Concurrency rules for the mapped bytes:
//  - used and the table slots are 4-byte aligned and accessed atomically:
//    the writer publishes with release stores after the entry is complete,
//    readers load with acquire, so whatever a reader reaches is whole;
//  - an entry never changes after it is published, except its feed-flag
//    bits, which cursors clear and read one byte at a time atomically (the
//    words themselves may be misaligned, a byte never is);
//  - the expiry rewrites everything, but only while no reader is inside.
#pragma once
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "base/relay_base.h"
#include "history/history.h"
#include "history/new_entry_signal.h"
#include "platform/event.h"
#include "platform/mapped_file.h"

static_assert(std::endian::native == std::endian::little,
              "the history files hold little-endian words and are copied as they stand");

namespace hist {

constexpr uint32_t kHeaderSize = 160;
constexpr uint32_t kReservedWordOffset = 116;
constexpr uint32_t kExpireCutAt = 4, kExpireMovedAt = 8, kExpireUsedAt = 12, kTableStaleAt = 16;
constexpr uint32_t kMagic = 0xFFFFFFFFu;
constexpr uint32_t kEntryFixedSize = 48;
constexpr uint32_t kMaxIdentifier = 254;
constexpr uint32_t kMinEntrySize = kEntryFixedSize + 1;
constexpr uint32_t kMaxEntrySize = kEntryFixedSize + kMaxIdentifier + 1;

// Field offsets within an entry.
constexpr uint32_t kMagicAt = 0, kSizeAt = 4, kSlotAt = 8, kPreviousAt = 12, kReservedAt = 16,
                   kFlagsAt = 20, kSpoolOffsetAt = 36, kLengthAt = 40, kSpoolFileAt = 44,
                   kTextAt = 48;

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }

}  // namespace hist

namespace hist {

// One open (or closed) history database: the mappings of its two files and
// the state its appends, lookups, cursors and expiry share. Owned by a
// History; the functions below are its own, kept beside the byte layout
// they read.
struct Db {
  explicit Db(RelayBase* relayBase) : base(relayBase) {}

  RelayBase* const base;          // the log and the counters
  MappedFile tableFile, dataFile;
  uint8_t* histData = nullptr;    // mapped hist.dat; its first 160 bytes are the header
  uint32_t* histTable = nullptr;  // mapped hist.idx
  uint32_t histDataSize = 0;      // bytes of hist.dat
  uint32_t histTableSize = 0;     // slots of hist.idx
  std::atomic<uint32_t> dbClosed{1};
  std::recursive_mutex csHistoryWrite;  // appends, expiry, close
  std::mutex csHistoryInterlock;        // readers waiting out an expiry
  ManualResetEvent hEvtHistory;         // set while no expiry or close is pending; reset until opened
  std::atomic<uint32_t> bExpirePending{1};
  std::atomic<uint32_t> histLockCount{0};  // readers inside the data
  NewEntrySignal hEvtAddToHistory;         // advanced for its bits after every append
  // While a writer batches its wake-ups (under csHistoryWrite): the bits
  // appended since, advanced when the batch ends.
  bool wakeUpsHeld = false;
  uint32_t heldFlags[4] = {0, 0, 0, 0};
  std::atomic<uint32_t> expireSerial{0};
  uint32_t lastExpireDeleted = 0;          // bytes cut by the last expiry
  std::atomic<uint32_t> newestEntry{0};    // offset of the last entry appended; 0 = not known
  void (*expireStepHook)(uint32_t done, uint32_t total) = nullptr;

  uint32_t LoadUsed() const {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(histData)).load(std::memory_order_acquire);
  }
  void PublishUsed(uint32_t used) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(histData)).store(used, std::memory_order_release);
  }
  // The cut of every expiry: a fixed fifth of the data file.
  uint32_t ExpiryCut() const { return uint32_t(double(histDataSize) * 0.2); }
  // Bytes cut away by the expiries before serial `serial`: an offset valid
  // under `serial` plus this is its absolute position.
  uint64_t CutBefore(uint32_t serial) const { return uint64_t(serial) * ExpiryCut(); }

  // The first entry of the data (after an expiry the data begins with the
  // tail of the entry the cut went through), or `end` when there is none.
  uint32_t FirstEntry(uint32_t end) const;
  // The newest entry, or 0 when there is none. Inside a reader section.
  uint32_t NewestEntry(uint32_t end) const;

  std::atomic_ref<uint32_t> Slot(uint32_t i) const { return std::atomic_ref<uint32_t>(histTable[i]); }

  // A header word of the expiry record or the stale mark. Each store is a
  // release store, so whatever the data held before the store is in place
  // when the store is: a process killed at any point leaves the record no
  // further along than the data.
  uint32_t HeaderWord(uint32_t at) const {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(histData + at)).load(std::memory_order_acquire);
  }
  void SetHeaderWord(uint32_t at, uint32_t v) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(histData + at)).store(v, std::memory_order_release);
  }

  // Reads of an entry's fixed fields at `off` (published entries only).
  uint32_t EntryField(uint32_t off, uint32_t field) const { return Load32(histData + off + field); }

  // True when a whole entry of plausible size starts at `off`, below `end`.
  bool IsEntryAt(uint32_t off, uint32_t end) const {
    if (off < kHeaderSize || off >= end || end - off < kMinEntrySize) return false;
    if (EntryField(off, kMagicAt) != kMagic) return false;
    uint32_t size = EntryField(off, kSizeAt);
    return size >= kMinEntrySize && size <= kMaxEntrySize && size <= end - off;
  }

  // A whole entry starts at `off`: magic, a possible size, and its
  // identifier ending in the entry's last byte with no NUL before.
  bool WholeEntryAt(uint32_t off, uint32_t end) const {
    if (!IsEntryAt(off, end)) return false;
    uint32_t size = EntryField(off, kSizeAt);
    const char* text = reinterpret_cast<const char*>(histData + off + kTextAt);
    return strnlen(text, size - kEntryFixedSize) == size - kEntryFixedSize - 1;
  }

  // An entry the walk can trust: whole, and followed by another whole entry
  // or by the end. This tells real entries from bytes that only look like
  // one, such as the tail of the entry an expiry cut through.
  bool TrustedEntryAt(uint32_t off, uint32_t end) const {
    if (!WholeEntryAt(off, end)) return false;
    uint32_t next = off + EntryField(off, kSizeAt);
    return next == end || WholeEntryAt(next, end);
  }

  // The feed-flag bytes of a published entry, accessed one byte at a time:
  // byte b of word w is at kFlagsAt + 4 * w + b (little-endian).
  std::atomic_ref<uint8_t> FlagByte(uint32_t off, uint32_t index) const {
    return std::atomic_ref<uint8_t>(histData[off + kFlagsAt + index]);
  }

  // The entry's bits under `bit` (nonzero when the site still wants it).
  uint32_t WantedBits(uint32_t off, HistFeedBit bit) const {
    uint32_t wanted = 0;
    for (uint32_t b = 0; b < 4; b++) {
      uint8_t mask = uint8_t(bit.bitMask >> (8 * b));
      if (mask != 0) wanted |= uint32_t(FlagByte(off, 4 * bit.wordIndex + b).load(std::memory_order_relaxed) & mask) << (8 * b);
    }
    return wanted;
  }

  // Clears the entry's bits under `bit` atomically with respect to other
  // sites clearing theirs; returns the bits that were set before.
  uint32_t TakeBits(uint32_t off, HistFeedBit bit) const {
    uint32_t taken = 0;
    for (uint32_t b = 0; b < 4; b++) {
      uint8_t mask = uint8_t(bit.bitMask >> (8 * b));
      if (mask != 0) taken |= uint32_t(FlagByte(off, 4 * bit.wordIndex + b).fetch_and(uint8_t(~mask), std::memory_order_relaxed) & mask) << (8 * b);
    }
    return taken;
  }

  // Copies a published entry's 48 fixed bytes; the flag bytes atomically.
  void CopyHeader(uint32_t off, HistEntryHeader* out) const {
    uint8_t raw[kEntryFixedSize];
    memcpy(raw, histData + off, kFlagsAt);
    for (uint32_t i = 0; i < 16; i++) raw[kFlagsAt + i] = FlagByte(off, i).load(std::memory_order_relaxed);
    memcpy(raw + kSpoolOffsetAt, histData + off + kSpoolOffsetAt, kEntryFixedSize - kSpoolOffsetAt);
    memcpy(out, raw, kEntryFixedSize);
  }

  // Copies the identifier of the published entry at `off` into `out` (of
  // `room` bytes), NUL-terminated, reading nothing at or past `end`.
  void CopyIdentifier(uint32_t off, uint32_t end, char* out, size_t room) const {
    const char* text = reinterpret_cast<const char*>(histData + off + kTextAt);
    size_t len = strnlen(text, room - 1 < size_t(end - off - kTextAt) ? room - 1 : size_t(end - off - kTextAt));
    memcpy(out, text, len);
    out[len] = '\0';
  }

  // Reader sections: lookups and cursor steps count themselves in
  // histLockCount while they touch the mapped data, so that an expiry (or
  // close) can wait for them. A reader that finds one pending steps back out
  // and waits until it is over. EnterReader never returns while the
  // database is closed.
  void EnterReader();
  void LeaveReader() { histLockCount.fetch_sub(1, std::memory_order_release); }

  // Keeps new readers out and waits until every reader has left. Called
  // with the write lock held; ends with bExpirePending set and hEvtHistory
  // reset.
  void ShutOutReaders();
  // Lets readers in again.
  void ReadmitReaders();

  // The expiry step, run by an append with the write lock held.
  void DoExpire();
  // Moves the data behind the cut down to 160, from `moved` bytes on, in
  // steps no larger than the cut, recording the progress in the header
  // after each step: a step only overwrites bytes that were already copied,
  // so a move killed at any point can be taken up again where it was
  // recorded.
  void MoveDataDown(uint32_t cut, uint32_t usedBefore, uint32_t moved);
  // At start-up: finishes an expiry that a killed process left under way
  // (its record in the header) and marks the table stale. Returns false,
  // having cleared the record, when the record is not one an expiry could
  // leave.
  bool FinishInterruptedExpiry();
  // At start-up: builds hist.idx anew from the entries, rewriting each
  // entry's slot and previous fields for the table's size, then clears the
  // stale mark. Returns the number of entries linked.
  uint32_t RebuildTable();
  // Table adjustment of an expiry: empties the slots of removed entries and
  // moves the others down by `cut`. Runs on its own thread beside the data
  // move.
  void HistTableExpire(uint32_t cut);

  // The offset of absolute `position` under the current serial, or 0 when
  // its entry was cut away or it leads to no entry. Inside a reader section.
  uint32_t OffsetOf(uint64_t position, uint32_t end) const;

 private:
  void Step(uint32_t done, uint32_t total) const {
    if (expireStepHook != nullptr) expireStepHook(done, total);
  }
  void Link(uint32_t off);
  void RecordExpireTime() const;
};

class ReaderSection {
 public:
  explicit ReaderSection(Db& db) : db_(db) { db_.EnterReader(); }
  ~ReaderSection() { db_.LeaveReader(); }
  ReaderSection(const ReaderSection&) = delete;
  ReaderSection& operator=(const ReaderSection&) = delete;

 private:
  Db& db_;
};

}  // namespace hist
