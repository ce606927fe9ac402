// Article spool files: every accepted article is appended to the current
// spool file "<ArticleBasePath>/<number>.art". The number is the second the
// file was created, or one more than the previous file's number when that
// is not behind the clock: numbers strictly increase (across restarts too,
// seeded from the highest name in the folder) and are never reused. A file
// is started afresh when it exceeds MaxArticleFileSize, or when it holds
// more than 100 bytes and was created more than an hour ago. A spool file
// is the stored articles back to back, with no header and no separators. A
// stored article is exactly:
//   1. the received text up to and including the "Path: " of its Path:
//      header,
//   2. the path stamp, HostPathIdentifier followed by '!',
//   3. the rest of the received text, up to (not including) the CR LF
//      before the terminating "." line.
// Lines keep their CR LF and dot-stuffing as received. An article is found
// only through its history entry (file number, offset, stored length).
//
// The spool stores articles, not connections: it reports how a store went,
// and the connection code decides what to reply and whether to end the
// connection.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "dedupe/seen.h"
#include "distrib/distrib.h"
#include "history/history.h"

// Reads the spool's keys (ArticleBasePath and HostPathIdentifier are
// required: their absence, or a base that is not a writable folder, ends
// the process), then opens the history. Stores mark their keys in `seen`
// and take their feed flags from `distributions`, which must stay until
// CloseFiles. Returns 1.
int ArticleInit(SeenDb* seen, Distributions* distributions);

// The peer counters a store adjusts (either may be null).
struct PeerCounters {
  std::atomic<uint32_t>* refused = nullptr;
  std::atomic<uint32_t>* rejected = nullptr;
};

// One received article handed to the spool. The text is only read.
struct StoreRequest {
  const char* text = nullptr;   // the article as received, from its first byte
  uint32_t length = 0;          // up to, not including, the CR LF before "."
  uint32_t received = 0;        // bytes readable from `text` on; the CR LF "."
                                // CR LF after the article lies within them
  const char* articleId = "";   // Message-ID without angle brackets
  uint32_t idKey[2] = {0, 0};   // its seen key
  const char* peerName = "";    // for log lines
  PeerCounters peer;
};

enum class StoreResult {
  kStored,       // written and entered in the history
  kRefused,      // seen already, or its Date: or Path: refused it (logged)
  kWriteFailed,  // the spool file could not be written: the caller ends the
                 // connection ("article: Write failed, out of disk space?")
};

// Stores the article under the spool lock: seen check, Date: and Path:
// checks, spool write, feed flags, seen add, history append. An article
// already seen counts as refused, not rejected, with the peer: refused + 1,
// rejected - 1 (the rejection reply that follows adds it back).
StoreResult AddArticleToFile(const StoreRequest& article);

// Marks the key as seen. 1 when added, 0 when already there (the peer's
// refused counter then goes up).
int InnoculateHistory(const uint32_t idKey[2], const PeerCounters& peer);

// "<ArticleBasePath>/<number>.art".
std::string SpoolFilePath(uint32_t number);

// Bytes written to spool files by this process, and the spool files on
// disk: as the last expiry pass counted them (it lists at most 399) plus
// the files started since. Read without the spool lock.
struct SpoolFigures {
  uint64_t bytesWritten;
  uint32_t filesOnDisk;
};
SpoolFigures GetSpoolFigures();
// Called by the expiry pass with the files it left on disk.
void SetSpoolFilesOnDisk(uint32_t files);

// A spool file that a sender (a feeder) keeps open from one article to
// the next; it belongs to the sender, which passes it to every call and
// releases it with CloseCachedSpoolFile. fd -1 holds none.
struct SpoolFileCache {
  int fd = -1;
  uint32_t number = 0;  // the spool file held in fd
};

// Sends `head`, the stored bytes of the article `entry` describes and `tail`
// (each text may be null) on `sock` as one corked transmission straight from
// the spool file, through `cache` (null: the file is opened and closed
// here). Returns nonzero when everything was sent. *error is 436 when the
// spool file cannot be opened (the article is gone; the cache is then
// empty), else 0. A transmission not finished within five minutes fails.
// With `senderCorks`, the sender keeps `sock` non-blocking and corks it
// around a batch of articles itself (fewer system calls, fuller segments);
// the article is then not pushed out here.
int TransmitArticle(const _histentry* entry, SpoolFileCache* cache, int sock, const char* head, const char* tail,
                    int* error, bool senderCorks = false);

// Releases the spool file held in a sender's cache.
void CloseCachedSpoolFile(SpoolFileCache* cache);

// Shut-down: locks out every later insertion for good, writes the spool
// file, the seen database and the history to disk in that order (logging
// any failure), closes the history, the log and the current spool file.
void CloseFiles();

// Replaces the clock (seconds since 1970) from which the spool takes file
// numbers, file ages and article ages; nullptr restores time(). For tests.
void SetSpoolClock(uint32_t (*clock)());
