#include "feeds/feeder.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>

#include "feeds/site.h"
#include "history/history_cursor.h"
#include "platform/io.h"

namespace {

// Seconds of the monotonic clock: a clock stepped back can neither wrap a
// site's elapsed time nor hold a connection past its hour.
uint32_t Now() {
  return uint32_t(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

constexpr uint32_t kReplyCapacity = 510;
constexpr uint32_t kResendMark = 550;  // errorCount after a reconnection: resend once
constexpr const char* kTerminator = "\r\n.\r\n";

}  // namespace

Feeder::Feeder(Site* site, char feedType, const _histentry* start)
    : site_(site), state_("Starting up..."), feedType_(feedType) {
  _distrib* d = site->GetDistribution();
  cursor_.feedType = feedType;
  if (d != nullptr) cursor_.distribution = HistFeedBit{d->bitMask, d->wordIndex};
  // A start from a lookup keeps the serial of that lookup, so the
  // position survives an expiry in between (it is moved by the cut).
  if (start != nullptr) {
    cursor_.position = start->position;
    cursor_.expireSerial = start->expireSerial;
  } else {
    // "The end of the history" is the end as it stands now, not when the
    // feeder first looks: articles stored while it connects are its too.
    HistGetNextEntry(*site->table()->history(), &cursor_, 0);
  }
  for (_histentry& slot : slots_) slot = cursor_;
}

Feeder::~Feeder() {
  Join();
  site_->table()->spool()->CloseCachedSpoolFile(&spool_);
}

bool Feeder::Start() {
  try {
    thread_ = std::thread([this] { doFeed(); });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void Feeder::Join() {
  if (thread_.joinable()) thread_.join();
}

void Feeder::Request(uint32_t what) {
  {
    std::lock_guard<std::mutex> lock(sleepMu_);
    requests_.fetch_or(what | kStopRequested);
    // The socket stays open while readingFd_ names it: only this feeder's
    // read ends, never another socket's.
    if ((what & kCutOffRequested) != 0 && readingFd_ >= 0) shutdown(readingFd_, SHUT_RDWR);
  }
  sleepCv_.notify_all();
}

std::string Feeder::GetStateString() const {
  char text[512];
  std::lock_guard<std::mutex> lock(shownMu_);
  snprintf(text, sizeof text,
           "{%u {statistics {{feedtype %c} {accept %u} {refuse %u} {reject %u} {nocheck %s} {state {%s%s%s}} {article {",
           index, feedType_, accepted_.load(), refused_.load(), rejected_.load(), noCheck_ ? "Y" : "N",
           state_.load(std::memory_order_relaxed), *via_ != '\0' ? " via " : "", via_);
  return std::string(text) + shown_ + "}}}}} ";
}

FeederFigures Feeder::Figures() const {
  return FeederFigures{index, connected_.load(), accepted_.load(), refused_.load(), rejected_.load()};
}

void Feeder::Sleep(int ms) {
  std::unique_lock<std::mutex> lock(sleepMu_);
  sleepCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return Ending(); });
}

int Feeder::ConnectToSite() {
  sock_ = std::make_unique<CmdSock>(site_->table()->Timings().replySeconds);
  char line[kReplyCapacity + 2 + 1];
  const uint32_t greetingCapacity = 510, modeCapacity = 512;
  failKind_ = kConnectFailed;
  ConnectReport report;
  // A cut-off ends a connect under way as it ends a wait for a reply.
  auto watch = [this](int fd) {
    std::lock_guard<std::mutex> lock(sleepMu_);
    if (fd >= 0 && (requests_.load() & kCutOffRequested) != 0) return false;
    readingFd_ = fd;
    return true;
  };
  int connected = sock_->Connect(site_->GetHostName(), site_->GetSitePort(), &report, watch);
  NoteConnectAttempts(report);
  if (connected == 0) {
    sock_.reset();
    return 0;
  }
  int on = 1;
  sock_->SetSockOpt(SO_KEEPALIVE, &on, sizeof on);
  if (sock_->ReadLine(line, greetingCapacity) == 0) {
    sock_.reset();
    return 0;
  }
  if (line[0] != '2') {
    failKind_ = kNoAccess;
    sock_.reset();
    return 0;
  }
  sock_->WriteLine("mode stream\r\n");
  if (sock_->ReadLine(line, modeCapacity) == 0) {
    sock_.reset();
    return 0;
  }
  failKind_ = kNoFailure;
  streamingOk_ = strncmp(line, "203", 3) == 0 ? 1 : 0;
  connected_ = true;
  return 1;
}

// A host with one IPv4 address shows and logs nothing new. Otherwise the
// state text names the address in use, and with several addresses each
// one that failed is logged, and the one that connected after a failure.
void Feeder::NoteConnectAttempts(const ConnectReport& report) {
  char text[kNetAddressTextSize];
  const char* host = site_->GetHostName();
  bool several = report.resolved > 1;
  for (const ConnectReport::Attempt& attempt : report.tried) {
    FormatNetAddress(attempt.address, text);
    if (!several) continue;
    if (attempt.error != 0) {
      site_->table()->base()->log.LogLinef("feeder for %s: cannot connect to %s: %s", host, text, strerror(attempt.error));
    } else if (report.tried.size() > 1) {
      site_->table()->base()->log.LogLinef("feeder for %s connected to %s", host, text);
    }
  }
  bool named = !report.tried.empty() && report.tried.back().error == 0 &&
               (several || !report.tried.back().address.IsV4());
  std::lock_guard<std::mutex> lock(shownMu_);
  if (named) {
    memcpy(via_, text, sizeof via_);
  } else {
    via_[0] = '\0';
  }
}

int Feeder::DisconnectFromSite() {
  if (sock_ == nullptr) return 1;
  char line[200];
  const uint32_t capacity = 199;
  if (sock_->WriteLine("quit\r\n")) sock_->ReadLine(line, capacity);
  sock_.reset();
  connected_ = false;
  return 1;
}

bool Feeder::ConnectWithRetries(bool first) {
  const FeederTimings t = site_->table()->Timings();
  for (;;) {
    if (Ending()) return false;
    if (ConnectToSite()) {
      if (!Ending()) return true;
      DisconnectFromSite();  // asked to end while it connected: it sends nothing
      return false;
    }
    if (failKind_ == kNoAccess) {
      Show("Waiting to reconnect (no access)");
      Sleep(first ? t.firstNoAccessMs : t.reconnectMs);
    } else {
      Show("Waiting to connect (connect failed)");
      Sleep(first ? t.firstConnectFailedMs : t.reconnectMs);
    }
  }
}

void Feeder::doFeed() {
  errorCount_ = 0;
  Show("Connecting");
  bool connected = ConnectWithRetries(true);
  if (connected) site_->ConnectIncr();
  uint32_t connectTime = Now();
  while (connected) {
    updateSeen_ = site_->updateCount;
    if (sock_ == nullptr || errorCount_ != 0) {
      Show("Connecting");
      DisconnectFromSite();
      if (!ConnectWithRetries(false)) break;
      connectTime = Now();
      if (errorCount_ != 0) errorCount_ = kResendMark;
      site_->ConnectIncr();
    }
    feedStart_ = Now();
    if (streamingOk_ && site_->streaming) {
      Show("Starting streaming feed");
      StreamFeed();
    } else {
      Show("Starting IHAVE feed");
      IhaveFeed();
    }
    SettleBatch();  // the answers read before a loop broke off
    site_->table()->spool()->CloseCachedSpoolFile(&spool_);
    feedEnd_ = Now();
    site_->elapsedTime += feedEnd_ - feedStart_;
    accepted_ = rejected_ = refused_ = 0;
    if (Ending()) break;
    // A delete request that comes now is kept: only a bare stop is cleared.
    uint32_t stopOnly = kStopRequested;
    requests_.compare_exchange_strong(stopOnly, 0);
    if (Now() - connectTime > site_->table()->Timings().recycleSeconds || errorCount_ != 0) {
      Show("Disconnecting");
      DisconnectFromSite();
    }
  }
  DisconnectFromSite();
  site_->GiveBack(slots_, slotCount_);
  slotCount_ = 0;
  if ((requests_.load() & kDeleteRequested) != 0) site_->table()->base()->log.LogLinef("feeder for %s deleted", site_->GetHostName());
  site_->ForgetFeeder(this);
}

bool Feeder::LoopGoesOn() const { return requests_.load() == 0 && site_->updateCount == updateSeen_; }

bool Feeder::NextBatch(uint32_t window) {
  if (Ending()) return false;
  if (errorCount_ == 0) {
    site_->GiveBack(slots_, slotCount_);  // what its last pass left without an answer
    ihaveNext_ = 0;
    lastPass_ = false;
    slotCount_ = window;
    site_->GetNextEntry(&cursor_, slots_, &slotCount_, &requests_);
    ShowSlotZero();
  } else if (errorCount_ > 500) {
    errorCount_ = UINT_MAX;
    lastPass_ = true;
  }
  std::fill(outcomes_, outcomes_ + slotCount_, Outcome::kPending);
  return slotCount_ != 0;
}

void Feeder::SettleBatch() {
  slotCount_ = site_->Settle(slots_, outcomes_, slotCount_);
  ihaveNext_ = 0;
  ShowSlotZero();
}

void Feeder::ShowSlotZero() {
  std::lock_guard<std::mutex> lock(shownMu_);
  memcpy(shown_, slots_[0].identifier, sizeof shown_);
}

void Feeder::Accepted(uint32_t i) {
  outcomes_[i] = Outcome::kAnswered;
  site_->accepts++;
  accepted_++;
  Bump(site_->table()->base()->stats.total_accept);
}

void Feeder::Rejected(uint32_t i) {
  outcomes_[i] = Outcome::kAnswered;
  site_->rejects++;
  rejected_++;
  Bump(site_->table()->base()->stats.total_reject);
}

void Feeder::Refused(uint32_t i) {
  outcomes_[i] = Outcome::kAnswered;
  site_->refused++;
  refused_++;
  Bump(site_->table()->base()->stats.total_refuse);
}

void Feeder::Deferred(uint32_t i) {
  if (slots_[i].deferrals + 1 >= kMaxDeferrals) return Refused(i);
  outcomes_[i] = Outcome::kDeferred;
  site_->deferred++;
}

void Feeder::Throttled(int code, int pauseMs) {
  site_->table()->spool()->CloseCachedSpoolFile(&spool_);
  Show("throttled");
  site_->table()->base()->log.LogLinef("%s throttled, code=%u", site_->GetHostName(), unsigned(code));
  Sleep(pauseMs);
  BatchFailed();
}

void Feeder::BatchFailed() { errorCount_ = lastPass_ ? 0 : errorCount_ + 1; }

void Feeder::ConnectionBroken() {
  BatchFailed();
  sock_.reset();
  connected_ = false;
}

bool Feeder::Send(const char* text) {
  if (sock_->WriteLine(text)) return true;
  ConnectionBroken();
  return false;
}

namespace {

// The Message-ID a reply line names after its code, or "" when none.
std::string_view NamedId(const char* reply) {
  const char* open = strchr(reply, ' ');
  if (open == nullptr || open[1] != '<') return "";
  const char* close = strchr(open + 2, '>');
  return close == nullptr ? "" : std::string_view(open + 2, size_t(close - open - 2));
}

}  // namespace

bool Feeder::ReadReply(int* code, const char* id) {
  char reply[kReplyCapacity + 1];
  {
    std::lock_guard<std::mutex> lock(sleepMu_);
    readingFd_ = (requests_.load() & kCutOffRequested) != 0 ? -1 : sock_->socket();
  }
  bool read = readingFd_ >= 0 && sock_->ReadLine(reply, kReplyCapacity);
  {
    std::lock_guard<std::mutex> lock(sleepMu_);
    readingFd_ = -1;
  }
  if (read) {
    std::string_view named = id != nullptr ? NamedId(reply) : std::string_view();
    if (named.empty() || named == id) {
      *code = sock_->lastCode();
      return true;
    }
    site_->table()->base()->log.LogLinef("%s answered for <%.*s> where <%s> was due", site_->GetHostName(), int(named.size()), named.data(), id);
  }
  ConnectionBroken();
  return false;
}

void Feeder::StreamFeed() {
  const FeederTimings t = site_->table()->Timings();
  uint32_t window = feedType_ == 'l' || feedType_ == 'L' ? site_->latencyFeedPrefetch : site_->regularFeedPrefetch;
  window = std::clamp(window, 1u, kMaxPrefetch);
  uint32_t turnedDown = 0, baseline = 0;
  std::string commands;
  for (;;) {
    Show("getting articles to feed");
    if (!NextBatch(window)) return;
    double r = double(accepted_) / (double(accepted_ + refused_ + rejected_) + 1);
    if (r > 0.85) {
      noCheck_ = 1;
    } else {
      if (turnedDown > accepted_ + baseline && window > 1) {
        baseline = turnedDown / 4;
        window--;
        site_->table()->base()->log.LogLinef("reducing check window for %s to %u", site_->GetHostName(), window);
        if (window == 1) {
          streamingOk_ = 0;
          requests_.fetch_or(kStopRequested);
        }
      }
      noCheck_ = 0;
    }
    if (!noCheck_) {
      Show("Check");
      commands.clear();
      for (uint32_t i = 0; i < slotCount_; i++) {
        commands += "check <";
        commands += slots_[i].identifier;
        commands += ">\r\n";
      }
      if (!Send(commands.c_str())) return;
    }
    // A throttle reply is taken as its article's reply: the article is not
    // sent now, and is offered again (errorCount stays up). The articles the
    // site wants go out together once every check is answered.
    bool throttled = false;
    uint32_t wanted = 0;
    Transmission batch[kMaxPrefetch];
    uint8_t batchSlot[kMaxPrefetch];
    char heads[kMaxPrefetch][sizeof slots_[0].identifier + 16];
    for (uint32_t i = 0; i < slotCount_; i++) {
      Show("Check (waiting for response(s))");
      int code = 238;
      if (!noCheck_ && !ReadReply(&code, slots_[i].identifier)) return;
      if (code == 238) {
        const int n = snprintf(heads[wanted], sizeof heads[wanted], "takethis <%s>\r\n", slots_[i].identifier);
        batch[wanted] = Transmission{&slots_[i], heads[wanted], size_t(n)};
        batchSlot[wanted++] = uint8_t(i);
      } else if (code == 436 || code == 400 || code == 480) {
        Throttled(code, t.checkThrottleMs);
        throttled = true;
      } else if (code == 431) {
        Deferred(i);
      } else {
        Refused(i);
      }
    }
    uint32_t takethisCount = 0;
    uint8_t sent[kMaxPrefetch];  // the slots sent by takethis, in order
    if (wanted != 0) {
      Show("Transmiting article");
      TransmitResult results[kMaxPrefetch];
      ArticleSpool* spool = site_->table()->spool();
      SetSocketFlag(sock_->socket(), IPPROTO_TCP, TCP_CORK, true);
      if (!spool->TransmitArticles(batch, wanted, &spool_, sock_->socket(), results)) {
        spool->CloseCachedSpoolFile(&spool_);
        ConnectionBroken();
        return;
      }
      SetSocketFlag(sock_->socket(), IPPROTO_TCP, TCP_CORK, false);
      for (uint32_t k = 0; k < wanted; k++) {
        if (results[k] == TransmitResult::kSent) {
          sent[takethisCount++] = batchSlot[k];
        } else {  // its spool file is gone: passed over, nothing sent
          outcomes_[batchSlot[k]] = Outcome::kSpoolGone;
          if (!throttled) errorCount_ = 0;
        }
      }
    }
    Show("reaping responses to takethis(s)");
    for (uint32_t k = 0; k < takethisCount; k++) {
      int code = 0;
      if (!ReadReply(&code, slots_[sent[k]].identifier)) return;
      const uint32_t i = sent[k];
      if (code == 239) {
        Accepted(i);
      } else if (code == 439 || code == 438) {
        code == 439 ? Rejected(i) : Refused(i);
        turnedDown++;
      } else if (code == 436 || code == 400 || (code == 431 && feedType_ == 'f')) {
        Throttled(code, t.takethisThrottleMs);
        throttled = true;
      } else if (code == 431) {
        Deferred(i);
      } else {
        Rejected(i);
      }
    }
    if (!throttled) errorCount_ = 0;
    SettleBatch();
    if (!LoopGoesOn()) return;
  }
}

void Feeder::IhaveFeed() {
  const FeederTimings t = site_->table()->Timings();
  for (;;) {
    Show("Getting articles to feed (IHAVE)");
    if (!NextBatch(1)) return;
    // A batch kept for its resend may come from a streaming loop and hold
    // several articles: they are offered one after another.
    while (ihaveNext_ < slotCount_) {
      if (!OfferByIhave(t)) return;
    }
    errorCount_ = 0;
    SettleBatch();
    if (!LoopGoesOn()) return;
  }
}

bool Feeder::OfferByIhave(const FeederTimings& t) {
  _histentry& slot = slots_[ihaveNext_];
  Show("IHAVE");
  char offer[sizeof slot.identifier + 16];
  snprintf(offer, sizeof offer, "ihave <%s>\r\n", slot.identifier);
  if (!Send(offer)) return false;
  Show("IHAVE (waiting for initial response)");
  int code = 0;
  if (!ReadReply(&code)) return false;
  bool transferred = code == 335;
  if (transferred) {
    Show("IHAVE (transmitting article)");
    int error = 0;
    if (!site_->table()->spool()->TransmitArticle(&slot, &spool_, sock_->socket(), nullptr, kTerminator, &error)) {
      site_->table()->spool()->CloseCachedSpoolFile(&spool_);
      ConnectionBroken();
      if (error == 436) {
        // The peer waits for an article whose spool file is gone: ending
        // the connection drops that transfer. The article is passed over;
        // the rest of its batch goes on the next connection.
        outcomes_[ihaveNext_] = Outcome::kSpoolGone;
        if (++ihaveNext_ >= slotCount_) errorCount_ = 0;
      }
      return false;
    }
    Show("IHAVE (waiting for received response)");
    if (!ReadReply(&code)) return false;
  }
  if (code == 400 || code == 436 || (code == 480 && !transferred)) {
    // Offered again after the pause, unless this was the batch's resend.
    Throttled(code, t.checkThrottleMs);
    if (lastPass_) {
      ihaveNext_++;  // not on this connection again: it goes back to the site
    } else if (errorCount_ > 500) {
      errorCount_ = UINT_MAX;
      lastPass_ = true;
    }
    return true;
  }
  if (!transferred) {
    Refused(ihaveNext_);
  } else if (code == 235 || code == 239) {
    Accepted(ihaveNext_);
  } else if (code == 431 || code == 435) {
    Refused(ihaveNext_);
  } else {
    Rejected(ihaveNext_);
  }
  ihaveNext_++;
  return true;
}
