// The history cursor: how a feeder walks the history in arrival order and
// takes the entries its site still wants.
//
// A cursor is a _histentry whose `distribution` names the site's feed-flag
// bit and whose `feedType` selects the articles it takes:
//   'f' and any unlisted letter: every article
//   'n' length < 10240, 'N' < 4096 (both restart at the end after each one)
//   'S' < 10240, 's' < 51200, 'M' < 256000, 'm' < 512000
//   'b' length >= 51200, 'B' >= 512000
//   'L' < 10240 and 'l' < 51200, but a cursor more than 9800 ('L') or
//       98000 ('l') bytes behind the end restarts at the end instead
// Taking an entry clears the site's bit (or claims the entry for the site,
// which clears the bit once the article is answered), so no other cursor of
// that site takes it again. Entries more than MaxBacklog x 98 bytes behind the end are
// passed over. The cursors of one site are stepped under that site's lock.
#pragma once
#include <chrono>
#include <cstdint>

#include "history/history.h"
#include "history/position_set.h"

// The site's side of a cursor step, when its feeders take entries on
// approval: the bit of an entry handed out stays set until the site clears
// it once the article is answered (HistClearBit), so an entry still owed
// outlives a crash in the history file.
struct CursorSite {
  // The entries the site holds: skipped; the one handed out is added.
  PositionSet* claims;
  // Wanted entries the step passed over for good as more than MaxBacklog
  // behind: their bits are cleared, and counted here.
  uint32_t passedOver = 0;
};

// Hands out the next entry for the cursor's site: returns 1 with the cursor's
// position, identifier and header describing it, or 0 when there is none now.
// Without `site` the site's bit is cleared as the entry is taken. A cursor
// without a position starts at the current end of the history; one that
// finds nothing is left at the end. Waits only while an expiry runs (or
// while the database is closed).
int HistGetNextEntry(History& history, _histentry* cursor, uint32_t maxBacklog, CursorSite* site = nullptr);

// Whether the published entry at offset `entry` is to be offered to the
// cursor's site, `end` being the current end of the data. May drop the
// cursor's position ('L', 'l'). Call only from inside a cursor step.
int HistCheckDistVsEntry(History& history, uint32_t entry, _histentry* cursor, uint32_t maxBacklog, uint32_t end);

// The size classes of the feed types: whether a cursor of `feedType` takes
// an article of `length` bytes (the lag rules of 'L' and 'l' aside).
bool FeedTypeTakesLength(char feedType, uint32_t length);

// Waits for an append of an entry flagged for the cursor's site made after
// the cursor's last HistGetNextEntry began (one already made returns at
// once), or for WakeHistoryWaiters, at most `timeoutMs` (one hour by
// default). Returns 1 when woken so, 0 when the time passed. The caller
// retries HistGetNextEntry either way.
int WaitNextHistoryEntry(History& history, const _histentry& cursor, uint32_t timeoutMs = 3600000);

// Wakes every thread in WaitNextHistoryEntry as an append would: each finds
// nothing new and may look again at why it waits.
void WakeHistoryWaiters(History& history);
