// A feeder: one outgoing connection of a site, with a thread of its own. It
// connects to the site's host, greets it, asks for streaming, then runs
// feed loops (streaming with check/takethis, or IHAVE) that take the site's
// articles from the history in batches and offer them. Between loops it
// keeps its books, honours delete requests and parameter changes, and
// renews its connection after an hour or after a failure. The articles of
// a batch that got no final answer (the loop broke, or the site throttled)
// are sent once more after the reconnection; if that fails too, they go
// back to the site, which offers them again later. Nothing it took is lost.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "feeds/cmd_sock.h"
#include "feeds/site.h"
#include "history/history.h"
#include "spool/article_spool.h"

class Site;

class Feeder {
 public:
  // A feeder of `site` taking articles of type `feedType` (history_cursor.h)
  // from `start` on (a record from FindArticle, whose position and expiry
  // serial it takes; nullptr: the end of the history). Not started yet.
  Feeder(Site* site, char feedType, const _histentry* start);
  ~Feeder();

  // Starts the feeder's thread, which ends by handing the feeder to its
  // site (ForgetFeeder). False when no thread could be started.
  bool Start();
  // Waits for the feeder's thread to end; its owner calls it before it
  // frees the feeder.
  void Join();

  // Ask the feeder to end after its current batch, at once when it waits
  // for articles or for a connection: deleted (logged as such), or because
  // the relay stops. It connects and sends no more, and gives what it held
  // without an answer back to its site. Called under the site's feeder
  // table lock.
  // A deleted feeder that waits for a site's reply stops waiting at once
  // (the articles go back to the site unanswered); one asked to end as the
  // relay stops finishes its batch, unless cut off.
  void RequestDelete() { Request(kDeleteRequested | kCutOffRequested); }
  void RequestShutdown() { Request(kShutdownRequested); }
  // Ends the wait for a reply of a feeder asked to end, and any later one.
  void CutOff() { Request(kCutOffRequested); }

  // Its feed type; its place in the history (under the site's walk lock).
  char FeedType() const { return feedType_; }
  const _histentry& Cursor() const { return cursor_; }

  // "{<index> {statistics {{feedtype %c} {accept %u} {refuse %u} {reject %u}
  // {nocheck Y|N} {state {%s}} {article {<Message-ID of slot 0>}}}}} ".
  // The article shown is the one in slot 0 when the feeder last fetched or
  // settled a batch.
  std::string GetStateString() const;

  FeederFigures Figures() const;

  uint32_t index = 0;  // its place in the site, 0 to 19

  // The feed loops, run on the feeder's thread: each returns when the loop
  // ends for any reason.
  void StreamFeed();
  void IhaveFeed();

  // Connection set-up and tear-down, on the feeder's thread.
  int ConnectToSite();
  void NoteConnectAttempts(const ConnectReport& report);
  int DisconnectFromSite();

 private:
  enum FailKind : uint32_t { kNoFailure = 0, kNoAccess = 1, kConnectFailed = 2 };
  // Bits of requests_: end the feed loop; end the feeder (deleted, or the
  // relay stops); wait for no more replies.
  enum : uint32_t { kStopRequested = 1, kDeleteRequested = 2, kShutdownRequested = 4, kCutOffRequested = 8 };

  void Request(uint32_t what);
  bool Ending() const { return (requests_.load() & (kDeleteRequested | kShutdownRequested)) != 0; }
  void doFeed();
  // Connects until it succeeds, showing the wait states; false when the
  // feeder is to end.
  bool ConnectWithRetries(bool first);
  void Show(const char* state) { state_.store(state, std::memory_order_relaxed); }
  // Sleeps `ms`, or less when the feeder is to end.
  void Sleep(int ms);
  bool LoopGoesOn() const;
  // The counting of an offer's outcome: site, feeder and relay totals;
  // each is the final answer for slot `i`.
  void Accepted(uint32_t i);
  void Rejected(uint32_t i);
  void Refused(uint32_t i);
  // "Try again later" for slot `i`: offered again after the deferral
  // delay, until it has been deferred kMaxDeferrals times (then refused).
  void Deferred(uint32_t i);
  void Throttled(int code, int pauseMs);
  // One more failure of the current batch, which is then offered again,
  // unless this pass is its last (errorCount back to 0): the resend after a
  // reconnection, or the pass after 500 throttles.
  void BatchFailed();
  // A connection that failed within a feed loop: raises errorCount (so the
  // batch is offered once more, unless this was that resend) and drops
  // the connection, so that the next loop starts on a new one whether or
  // not the batch is resent.
  void ConnectionBroken();
  // A command write and a reply read within a feed loop: a failure is a
  // broken connection, and the caller ends the loop.
  bool Send(const char* text);
  // A streaming reply that names a Message-ID must name `id`, the article
  // whose turn it is (replies come in command order): one naming another
  // article is a peer out of step, and ends the loop like a failed read.
  bool ReadReply(int* code, const char* id = nullptr);
  // Fetches the next batch when errorCount is 0 (giving back to the site
  // what the last one left without an answer); otherwise the articles kept
  // go again, above 500 (a reconnection or 500 throttles) in their last
  // pass. False when there is nothing to send or the feeder is to end.
  bool NextBatch(uint32_t window);
  // Hands the site the batch's final answers and keeps only the articles
  // still without one, in order.
  void SettleBatch();
  // Shows slot 0's Message-ID in the state string from now on.
  void ShowSlotZero();
  // Offers slot `ihaveNext_` by ihave and moves past it unless it is to be
  // offered again; false when the connection broke.
  bool OfferByIhave(const FeederTimings& t);

  Site* site_;
  std::unique_ptr<CmdSock> sock_;
  std::atomic<bool> connected_{false};
  std::atomic<uint32_t> streamingOk_{0};
  std::atomic<uint32_t> noCheck_{0};
  uint32_t failKind_ = kNoFailure;
  uint32_t errorCount_ = 0;
  uint32_t feedStart_ = 0, feedEnd_ = 0;
  uint32_t updateSeen_ = 0;
  uint32_t slotCount_ = 0;
  uint32_t ihaveNext_ = 0;  // the next slot of the batch to offer by ihave
  bool lastPass_ = false;   // the batch has had its resend
  std::atomic<uint32_t> requests_{0};
  std::mutex sleepMu_;  // the waits that a request ends: sleeps, and reads of replies
  std::condition_variable sleepCv_;
  int readingFd_ = -1;  // the socket of a reply being waited for, or -1; under sleepMu_
  std::atomic<uint32_t> accepted_{0}, rejected_{0}, refused_{0};
  std::atomic<const char*> state_;
  SpoolFileCache spool_;
  _histentry cursor_;  // where the feeder walks the history; the site's walk lock guards it
  mutable std::mutex shownMu_;
  char shown_[256] = {};  // the Message-ID its state string shows
  // The address its state text names ("Check via 2001:db8::1"), when the
  // site's host has several addresses or was reached over IPv6; else empty.
  char via_[kNetAddressTextSize] = {};
  _histentry slots_[30];
  Outcome outcomes_[30] = {};
  char feedType_;
  std::thread thread_;
};
