// Repairs at start-up: an expiry a killed process left half done, and a
// table that no longer matches the entries (an expiry or rebuild under way
// when the process died, a changed HistoryTableSize, a lost hist.idx).
//
// The table can always be rebuilt from the entries: each holds its
// identifier, from which its slot follows, and the entries stand in arrival
// order, so linking them oldest first gives every chain its newest entry in
// the slot and its links pointing back, as the appends made them.
#include <cstring>

#include "article/article_id.h"
#include "history/history_format.h"

namespace hist {

// Links the entry at `off` into the table as the newest of its slot.
void Db::Link(uint32_t off) {
  uint32_t size = EntryField(off, kSizeAt);
  const char* text = reinterpret_cast<const char*>(histData + off + kTextAt);
  uint32_t slot = hash(text, int32_t(size - kEntryFixedSize - 1)) % histTableSize;
  uint32_t newest = histTable[slot];
  Store32(histData + off + kSlotAt, slot);
  Store32(histData + off + kPreviousAt, newest != 0 ? off - newest : 0);
  histTable[slot] = off;
}

bool Db::FinishInterruptedExpiry() {
  uint32_t cut = HeaderWord(kExpireCutAt);
  if (cut == 0) return true;
  uint32_t usedBefore = HeaderWord(kExpireUsedAt), moved = HeaderWord(kExpireMovedAt);
  uint32_t used = Load32(histData);
  bool sound = usedBefore <= histDataSize && usedBefore >= kHeaderSize && cut <= usedBefore - kHeaderSize &&
               moved <= usedBefore - kHeaderSize - cut && (used == usedBefore || used == usedBefore - cut);
  SetHeaderWord(kTableStaleAt, 1);
  if (!sound) {
    base->log.LogLinef("db: expiry record (cut %u, moved %u, used %u) does not fit the history, ignored\n", cut, moved,
             usedBefore);
    SetHeaderWord(kExpireCutAt, 0);
    return false;
  }
  if (used == usedBefore) {
    MoveDataDown(cut, usedBefore, moved);
    SetHeaderWord(0, usedBefore - cut);
  }
  SetHeaderWord(kExpireCutAt, 0);
  base->log.LogLinef("db: finished an expiry that was interrupted (%u of %u bytes had moved)\n", moved,
           usedBefore - kHeaderSize - cut);
  return true;
}

uint32_t Db::RebuildTable() {
  SetHeaderWord(kTableStaleAt, 1);
  memset(histTable, 0, size_t(histTableSize) * 4);
  const uint32_t end = Load32(histData);
  uint32_t entries = 0, skipped = 0;
  for (uint32_t off = kHeaderSize; off < end;) {
    if (!TrustedEntryAt(off, end)) {
      off++;
      skipped++;
      continue;
    }
    Link(off);
    entries++;
    off += EntryField(off, kSizeAt);
  }
  SetHeaderWord(kTableStaleAt, 0);
  base->log.LogLinef("db: rebuilt the table of %u slots from %u entries (%u bytes passed over)\n", histTableSize, entries,
           skipped);
  return entries;
}

}  // namespace hist
