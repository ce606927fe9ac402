// Article spool files: every accepted article is appended to the current
// spool file "<ArticleBasePath>/<number>.art". The number is the second the
// file was created, or one more than the previous file's number when that
// is not behind the clock: numbers strictly increase (across restarts too,
// seeded from the highest name in the folder) and are never reused. A file
// is started afresh when it exceeds MaxArticleFileSize, or when it holds
// more than 100 bytes and was created more than an hour ago. A spool file is the stored articles back to back,
// with no header and no separators. A stored article is exactly:
//   1. the received text up to and including the "Path: " of its Path:
//      header,
//   2. the path stamp, HostPathIdentifier followed by '!',
//   3. the rest of the received text, up to (not including) the CR LF
//      before the terminating "." line.
// Lines keep their CR LF and dot-stuffing as received. An article is found
// only through its history entry (file number, offset, stored length).
#pragma once
#include <cstdint>

#include "history/history.h"
#include "incoming/client_context.h"

// Reads the spool's keys (ArticleBasePath and HostPathIdentifier are
// required: their absence, or a base that is not a writable folder, ends
// the process), then opens the history and the distributions. Returns 1.
int ArticleInit();

// Stores the article received on `ctx` (buffer, articleLength) under the
// spool lock: seen check, Date: and Path: checks, spool write, feed flags,
// seen add, history append. 1 when stored, 0 when refused. Ends the
// connection when the spool file cannot be written.
int AddArticleToFile(_clientcontext* ctx);

// Marks ctx's identifier key as seen. 1 when added, 0 when already there.
int InnoculateHistory(_clientcontext* ctx);

// Sends `head`, the article's stored bytes and `tail` (each text may be
// null) on `sock` as one corked transmission straight from the spool file.
// `cachedFile`/`cachedNumber` hold the caller's open spool file between
// calls (both null: the file is opened and closed here); afterwards the
// entry holds no handle of its own, unless the cache is its own openFile
// and openFileNumber fields. Returns nonzero when everything was sent.
// *error is 436 when the spool file cannot be opened (the article is gone),
// else 0. A transmission not finished within five minutes fails.
int TransmitArticle(_histentry* entry, int* cachedFile, uint32_t* cachedNumber, int sock, const char* head,
                    const char* tail, int* error);

// Releases a spool file held in a caller's cache.
void CloseCachedSpoolFile(int* cachedFile, uint32_t* cachedNumber);

// Shut-down: locks out every later insertion for good, writes the spool
// file, the seen database and the history to disk in that order (logging
// any failure), closes the history, the log and the current spool file.
void CloseFiles();

// Replaces the clock (seconds since 1970) from which the spool takes file
// numbers, file ages and article ages; nullptr restores time(). For tests.
void SetSpoolClock(uint32_t (*clock)());
