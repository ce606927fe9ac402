#include "history/history_cursor.h"

#include <algorithm>

#include "history/history_format.h"

using namespace hist;

namespace {

// The new-entry sequence as this thread saw it before its last look at the
// end of the history; a wait returns as soon as the sequence has moved on.
thread_local uint32_t lookedAtSequence = 0;

// A position taken before the last expiry is moved back by its cut; one
// taken before two or more, or one whose entry was cut away, is dropped.
void CatchUpExpiry(_histentry* cursor, uint32_t end) {
  uint32_t serial = expireSerial.load(std::memory_order_relaxed);
  if (cursor->expireSerial == serial) return;
  uint32_t pos = cursor->position;
  if (pos != 0 && cursor->expireSerial == serial - 1) {
    pos = pos < kHeaderSize + lastExpireDeleted ? 0 : pos - lastExpireDeleted;
    if (pos != 0 && !IsEntryAt(pos, end)) pos = 0;
  } else {
    pos = 0;
  }
  cursor->position = pos;
  cursor->expireSerial = serial;
}

// The size class and lag limit of each feed type.
bool FeedTypeTakes(_histentry* cursor, uint32_t length, uint32_t behind) {
  switch (cursor->feedType) {
    case 'n': return length < 10240;
    case 'N': return length < 4096;
    case 'S': return length < 10240;
    case 's': return length < 51200;
    case 'M': return length < 256000;
    case 'm': return length < 512000;
    case 'b': return length >= 51200;
    case 'B': return length >= 512000;
    case 'L':
      if (behind > 9800) {
        cursor->position = 0;
        return false;
      }
      return length < 10240;
    case 'l':
      if (behind > 98000) {
        cursor->position = 0;
        return false;
      }
      return length < 51200;
    default: return true;
  }
}

void HandOut(uint32_t entry, _histentry* cursor, uint32_t end) {
  CopyHeader(entry, &cursor->header);
  const char* text = reinterpret_cast<const char*>(histData + entry + kTextAt);
  size_t room = std::min<size_t>(sizeof cursor->identifier - 1, end - entry - kTextAt);
  size_t len = strnlen(text, room);
  memcpy(cursor->identifier, text, len);
  cursor->identifier[len] = '\0';
  cursor->position = entry;
  if (cursor->feedType == 'n' || cursor->feedType == 'N') cursor->position = 0;
}

}  // namespace

int HistCheckDistVsEntry(uint32_t entry, _histentry* cursor, uint32_t maxBacklog, uint32_t end) {
  uint32_t wanted = WantedBits(entry, cursor->distribution);
  uint32_t behind = end - entry;
  if (uint64_t(behind) > uint64_t(maxBacklog) * 98) return 0;
  if (wanted == 0) return 0;
  return FeedTypeTakes(cursor, EntryField(entry, kLengthAt), behind) ? 1 : 0;
}

int HistGetNextEntry(_histentry* cursor, uint32_t maxBacklog) {
  lookedAtSequence = hEvtAddToHistory.Sequence();
  ReaderSection reader;
  uint32_t end = LoadUsed();
  CatchUpExpiry(cursor, end);
  if (cursor->position == 0) cursor->position = end;
  uint32_t pos = cursor->position;
  if (pos == end) return 0;
  if (!IsEntryAt(pos, end)) {
    cursor->position = end;
    return 0;
  }
  // The scan leaves the position alone unless it hands an entry out. The
  // bit test and the clearing are one atomic step, so even two cursors of
  // one site stepping at once could not both take an entry.
  for (;;) {
    if (HistCheckDistVsEntry(pos, cursor, maxBacklog, end) && TakeBits(pos, cursor->distribution) != 0) {
      HandOut(pos, cursor, end);
      return 1;
    }
    if (cursor->position == 0) return 0;
    pos += EntryField(pos, kSizeAt);
    if (pos == end) {
      end = LoadUsed();
      if (pos == end) return 0;
    }
    if (!IsEntryAt(pos, end)) {  // damage: nothing beyond can be reached
      cursor->position = end;
      return 0;
    }
  }
}

void WakeHistoryWaiters() { hEvtAddToHistory.Advance(); }

int WaitNextHistoryEntry(uint32_t timeoutMs) {
  return hEvtAddToHistory.WaitPast(lookedAtSequence, std::chrono::milliseconds(timeoutMs)) ? 1 : 0;
}
