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
#include <memory>
#include <mutex>
#include <string>

#include "base/relay_base.h"
#include "dedupe/seen.h"
#include "distrib/distrib.h"
#include "history/history.h"
#include "spool/open_spool_files.h"

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
  uint32_t idHash = 0;          // its identifier hash, hash(articleId)
  uint32_t idKey[2] = {0, 0};   // its seen key
  const char* peerName = "";    // for log lines
  PeerCounters peer;
};

enum class StoreResult {
  kStored,       // written and entered in the history
  kRefused,      // seen already, or its Date: or Path: refused it (logged)
  kWriteFailed,  // the spool file could not be written: the caller ends the
                 // connection ("article: Write failed, out of disk space?")
  kClosed,       // the spool is shut: the caller ends the connection
};

// Bytes written to spool files by this spool, and the spool files on
// disk: as the last expiry pass counted them (it lists at most 399) plus
// the files started since.
struct SpoolFigures {
  uint64_t bytesWritten;
  uint32_t filesOnDisk;
};

// The most articles one write of the spool takes.
inline constexpr uint32_t kMaxStoreBatch = 64;
// Articles this large are sent by sendfile, from the page cache without a
// copy; smaller ones are cheaper gathered into one write.
inline constexpr uint32_t kSendfileFrom = 65536;

// A spool file that a sender (a feeder) keeps open from one article to
// the next; it belongs to the sender, which passes it to every call and
// releases it with CloseCachedSpoolFile. fd -1 holds none.
struct SpoolFileCache {
  int fd = -1;
  uint32_t number = 0;  // the spool file held in fd
  // The file mapped read-only from its start, as far as it was long when
  // mapped (TransmitArticles maps it as it needs).
  const char* map = nullptr;
  size_t mapped = 0;
  // Bytes past the mapping, read ahead of need: the file's bytes from
  // `stageFrom` on, `staged` of them, are in `stage` (made on first use).
  std::unique_ptr<char[]> stage;
  uint64_t stageFrom = 0;
  size_t staged = 0;
};

// One article of a batch to send: `head` (its takethis line), then its
// stored bytes, then the terminator "\r\n.\r\n".
struct Transmission {
  const _histentry* entry;
  const char* head;
  size_t headLength;
};

// What became of one article of a batch.
enum class TransmitResult : uint8_t {
  kSent,
  kGone,  // its spool file could not be opened: nothing of it was sent
};

// One relay's spool. The relay owns it; the connections store through it
// and the feeders send from it until the relay's stop has ended them. It
// logs to `base`, which must outlive it.
class ArticleSpool {
 public:
  explicit ArticleSpool(RelayBase* base);
  ~ArticleSpool();
  ArticleSpool(const ArticleSpool&) = delete;
  ArticleSpool& operator=(const ArticleSpool&) = delete;

  // Reads the spool's keys (ArticleBasePath and HostPathIdentifier are
  // required: their absence, or a base that is not a writable folder, ends
  // the process), then opens `history`. Stores mark their keys in `seen`,
  // take their feed flags from `distributions` and append to `history`;
  // all three must stay until CloseFiles. Returns 1.
  int ArticleInit(History* history, SeenDb* seen, Distributions* distributions);

  // Stores the article under the spool lock: seen check, Date: and Path:
  // checks, spool write, feed flags, seen add, history append. An article
  // already seen counts as refused, not rejected, with the peer: refused +
  // 1, rejected - 1 (the rejection reply that follows adds it back).
  StoreResult AddArticleToFile(const StoreRequest& article);

  // Stores `count` articles as AddArticleToFile would one after the other,
  // to the same bytes on disk, under one hold of the spool lock and with
  // one write for as many as fit the current spool file (at most
  // kMaxStoreBatch). results[i] is the outcome of articles[i]; after a
  // write that failed, every later article of the batch is kWriteFailed.
  void AddArticlesToFile(const StoreRequest* articles, uint32_t count, StoreResult* results);

  // Marks the key as seen. 1 when added, 0 when already there (the peer's
  // refused counter then goes up) or the spool is shut.
  int InnoculateHistory(const uint32_t idKey[2], const PeerCounters& peer);

  // "<ArticleBasePath>/<number>.art".
  std::string SpoolFilePath(uint32_t number) const;

  // Read without the spool lock.
  SpoolFigures GetSpoolFigures() const;
  // Called by the expiry pass with the files it left on disk.
  void SetSpoolFilesOnDisk(uint32_t files);

  // Sends `head`, the stored bytes of the article `entry` describes and
  // `tail` (each text may be null) on `sock` as one corked transmission
  // straight from the spool file, through `cache` (null: the file is opened
  // and closed here). Returns nonzero when everything was sent. *error is
  // 436 when the spool file cannot be opened (the article is gone; the
  // cache is then empty), else 0. A transmission not finished within five
  // minutes fails. With `senderCorks`, the sender keeps `sock` non-blocking
  // and corks it around a batch of articles itself (fewer system calls,
  // fuller segments); the article is then not pushed out here.
  int TransmitArticle(const _histentry* entry, SpoolFileCache* cache, int sock, const char* head, const char* tail,
                      int* error, bool senderCorks = false);

  // Sends the batch on `sock` (non-blocking) in order, through `cache`: the
  // articles of one spool file with as few writes as the socket takes (one
  // writev of heads, bytes from the file's mapping and terminators), except
  // that an article of kSendfileFrom bytes or more goes by sendfile. An
  // article whose spool file is gone is left out, head and all. Returns
  // false when the socket failed, the batch took more than five minutes, or
  // a spool file is shorter than an entry says (results then say nothing).
  bool TransmitArticles(const Transmission* batch, uint32_t count, SpoolFileCache* cache, int sock,
                        TransmitResult* results);

  // Releases the spool file held in a sender's cache.
  void CloseCachedSpoolFile(SpoolFileCache* cache);

  // Shut-down: locks out every later insertion (they return kClosed),
  // writes the spool file, the seen database and the history to disk in
  // that order (logging any failure), closes the history, the log and the
  // current spool file.
  void CloseFiles();

  // Replaces the clock (seconds since 1970) from which the spool takes file
  // numbers, file ages and article ages; nullptr restores time(). For tests.
  void SetSpoolClock(uint32_t (*clock)());

  // The files in use, which the expiry leaves alone.
  OpenSpoolFiles& openFiles() { return openFiles_; }

 private:
  // An article of a batch that passed its checks, where its Path: value
  // starts, and its place in the batch.
  struct Vetted {
    const StoreRequest* article;
    const char* pathValue;
    uint32_t index;
  };
  void StoreLocked(const StoreRequest* articles, uint32_t count, StoreResult* results);
  void PrefetchIndexes(const StoreRequest* articles, uint32_t count) const;
  bool Vet(const StoreRequest& article, const Vetted* chunk, uint32_t count, const char** pathValue);
  bool DateAcceptable(const StoreRequest& article);
  bool RotationDue(uint64_t pending, uint32_t size) const;
  bool WriteChunk(const Vetted* chunk, uint32_t count);
  void Enter(const Vetted* chunk, uint32_t count, StoreResult* results);
  bool CreateSpoolFile();
  void CloseSpoolFile();
  bool OpenSpoolFile(uint32_t number, SpoolFileCache* file);

  RelayBase* const base_;
  OpenSpoolFiles openFiles_;
  // Guards the whole store step and the state below it.
  std::mutex csArtFile_;
  bool closed_ = false;  // CloseFiles has run: insertions are locked out
  History* history_ = nullptr;  // from ArticleInit on
  SeenDb* seenDb_ = nullptr;
  Distributions* distributions_ = nullptr;
  int fh_ = -1;              // the current spool file
  uint32_t fhTime_ = 0;      // its number
  uint32_t fhCreated_ = 0;   // the clock when it was created, for its age
  uint64_t fhCount_ = 0;     // bytes in it: the offset of the next article
  // The number of the newest spool file ever created here, seeded at
  // start-up from the names in the folder. Numbers only ever grow, so a
  // number is never taken twice, not even after expiry has deleted its
  // file: a history entry can never lead to another article's bytes.
  uint32_t lastFileNumber_ = 0;
  std::string basepath_;
  std::string my_path_name_;  // HostPathIdentifier + "!"
  uint32_t max_file_size_ = 0;
  uint32_t MaxArticleAge_ = 7;
  uint32_t (*spoolClock_)();
  std::atomic<uint64_t> bytesWritten_{0};
  std::atomic<uint32_t> filesOnDisk_{0};
};
