#include "history/history_cursor.h"

#include <algorithm>
#include <bit>

#include "history/history_format.h"

using namespace hist;

namespace {

// A position taken before one or more expiries is moved back by their
// cuts. One whose entry was cut away goes to the oldest entry left, so
// that nothing still in the history is skipped; one that leads to no entry
// (damage) restarts at the end.
void CatchUpExpiry(const Db& db, _histentry* cursor, uint32_t end) {
  uint32_t serial = db.expireSerial.load(std::memory_order_relaxed);
  if (cursor->expireSerial == serial) return;
  uint32_t pos = cursor->position;
  if (pos != 0) {
    uint64_t shift = db.CutBefore(serial) - db.CutBefore(cursor->expireSerial);
    if (pos < kHeaderSize + shift) {
      pos = db.FirstEntry(end);
    } else {
      pos = uint32_t(pos - shift);
      if (pos != end && !db.IsEntryAt(pos, end)) pos = 0;
    }
  }
  cursor->position = pos;
  cursor->expireSerial = serial;
}

// The lag limits of 'L' and 'l', then the size classes.
bool FeedTypeTakes(_histentry* cursor, uint32_t length, uint32_t behind) {
  if ((cursor->feedType == 'L' && behind > 9800) || (cursor->feedType == 'l' && behind > 98000)) {
    cursor->position = 0;
    return false;
  }
  return FeedTypeTakesLength(cursor->feedType, length);
}

void HandOut(const Db& db, uint32_t entry, _histentry* cursor, uint32_t end) {
  db.CopyHeader(entry, &cursor->header);
  db.CopyIdentifier(entry, end, cursor->identifier, sizeof cursor->identifier);
  cursor->position = entry;
  cursor->deferrals = 0;
}

// The bit number of a cursor's site, or none when the cursor has no bit.
uint32_t BitNumber(HistFeedBit bit) {
  if (bit.bitMask == 0 || bit.wordIndex >= 4) return NewEntrySignal::kNoBit;
  return 32 * bit.wordIndex + uint32_t(std::countr_zero(bit.bitMask));
}

bool TooFarBehind(uint32_t behind, uint32_t maxBacklog) { return uint64_t(behind) > uint64_t(maxBacklog) * 98; }

// Whether the entry is to be offered to the cursor's site now.
bool Offered(const Db& db, uint32_t entry, _histentry* cursor, uint32_t maxBacklog, uint32_t end) {
  uint32_t behind = end - entry;
  if (TooFarBehind(behind, maxBacklog) || db.WantedBits(entry, cursor->distribution) == 0) return false;
  return FeedTypeTakes(cursor, db.EntryField(entry, kLengthAt), behind);
}

// Whether the cursor takes the entry at `pos`. Without a site the bit is
// cleared as the entry is taken; with one it stays set (the site clears it
// once the article is answered) and the entry goes into the site's claims.
// A wanted entry too far behind is passed over for good by a site: its bit
// is cleared and counted.
bool Takes(const Db& db, uint32_t pos, _histentry* cursor, uint32_t maxBacklog, uint32_t end, CursorSite* site) {
  if (site == nullptr) return Offered(db, pos, cursor, maxBacklog, end) && db.TakeBits(pos, cursor->distribution) != 0;
  if (db.WantedBits(pos, cursor->distribution) == 0) return false;
  const uint64_t absolute = pos + db.CutBefore(cursor->expireSerial);
  if (site->claims->Contains(absolute)) return false;
  const uint32_t behind = end - pos;
  if (TooFarBehind(behind, maxBacklog)) {
    site->passedOver += db.TakeBits(pos, cursor->distribution) != 0;
    return false;
  }
  if (!FeedTypeTakes(cursor, db.EntryField(pos, kLengthAt), behind)) return false;
  site->claims->Insert(absolute);
  return true;
}

}  // namespace

bool FeedTypeTakesLength(char feedType, uint32_t length) {
  switch (feedType) {
    case 'n': case 'S': case 'L': return length < 10240;
    case 'N': return length < 4096;
    case 's': case 'l': return length < 51200;
    case 'M': return length < 256000;
    case 'm': return length < 512000;
    case 'b': return length >= 51200;
    case 'B': return length >= 512000;
    default: return true;
  }
}

int HistCheckDistVsEntry(History& history, uint32_t entry, _histentry* cursor, uint32_t maxBacklog, uint32_t end) {
  return Offered(history.db(), entry, cursor, maxBacklog, end) ? 1 : 0;
}

int HistGetNextEntry(History& history, _histentry* cursor, uint32_t maxBacklog, CursorSite* site) {
  Db& db = history.db();
  const NewEntrySignal::Note note = db.hEvtAddToHistory.Sequences(BitNumber(cursor->distribution));
  cursor->lookedAt = note.bitSequence;
  cursor->lookedAtAll = note.allSequence;
  ReaderSection reader(db);
  uint32_t end = db.LoadUsed();
  CatchUpExpiry(db, cursor, end);
  if (cursor->position == 0) cursor->position = end;
  uint32_t pos = cursor->position;
  if (pos == end) return 0;
  if (!db.IsEntryAt(pos, end)) {
    cursor->position = end;
    return 0;
  }
  // A scan that finds nothing leaves the cursor at the end: nothing behind
  // can become wanted again (bits are only ever cleared, and a site offers
  // what it gave back from its own list), so no step looks at an entry
  // twice. The bit test and the taking are one atomic step, so even two
  // cursors of one site stepping at once could not both take an entry.
  for (;;) {
    if (Takes(db, pos, cursor, maxBacklog, end, site)) {
      HandOut(db, pos, cursor, end);
      // 'n' and 'N' skip what accumulated meanwhile: back to the end. A
      // site does that itself once it has noted the entry's position.
      if (site == nullptr && (cursor->feedType == 'n' || cursor->feedType == 'N')) cursor->position = 0;
      return 1;
    }
    if (cursor->position == 0) return 0;
    pos += db.EntryField(pos, kSizeAt);
    if (pos == end) {
      end = db.LoadUsed();
      if (pos == end) {
        cursor->position = end;
        return 0;
      }
    }
    if (!db.IsEntryAt(pos, end)) {  // damage: nothing beyond can be reached
      cursor->position = end;
      return 0;
    }
  }
}

void WakeHistoryWaiters(History& history) { history.db().hEvtAddToHistory.WakeAll(); }

int WaitNextHistoryEntry(History& history, const _histentry& cursor, uint32_t timeoutMs) {
  const NewEntrySignal::Note noted{cursor.lookedAt, cursor.lookedAtAll};
  const bool woken = history.db().hEvtAddToHistory.WaitPast(BitNumber(cursor.distribution), noted,
                                                            std::chrono::milliseconds(timeoutMs));
  return woken ? 1 : 0;
}
