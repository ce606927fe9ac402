// Where each site's queue starts, kept across restarts.
//
// What a site is still owed is on disk already: an article's bit stays set
// in its history entry until the site has answered it. What a restart needs
// besides is where in the history each site's feeders were, so that they
// walk on from there instead of from the end. That is the file
// "site-queues" in SiteRecordPath (beside hist.dat when that is not set),
// one line per site:
//
//   <slot> TAB <site name> TAB <Message-ID without angle brackets> LF
//
// the Message-ID naming an entry at or before everything still owed to the
// site, or nothing: from the oldest entry on. It is written whole under a temporary name and renamed into place,
// when the start-up script has run, every two seconds while the relay
// runs and once more at its stop, so a kill leaves a record at most two
// seconds old: its feeders then walk a little
// more history, past articles whose bits are already clear, and lose
// nothing.
//
// At start-up a site created by the start-up script with the name and slot
// of a line inherits that queue. A slot whose line names another site (or
// whose site is gone) does not: after the script, its bits are cleared
// from the recorded entry on, and that is logged.
// The record is kept by the relay's SiteTable (site.h):
//   BeginSiteStartup reads the record; from then until EndSiteStartup
//     sites may inherit.
//   InheritRecordedQueue is called for every site the start-up script
//     creates: it hands the site the queue recorded for its name and slot,
//     if any.
//   EndSiteStartup, after the start-up script, clears the bits of recorded
//     slots that no site inherited, and starts writing the record now and
//     then. SiteStartupOver tells whether that has happened (or no script
//     runs).
//   WriteSiteQueues writes the record now; false (logged) when it cannot.
//   StopFeeds, as the relay stops: every feeder is asked to end after its
//     current batch, and those that end within the limit have settled what
//     they sent; those still waiting for replies then are cut off, and all
//     are joined. Then the record is written a last time.
#pragma once
#include "feeds/site.h"
