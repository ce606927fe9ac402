// Distributions: each outgoing site's ordered list of wildcard patterns over
// newsgroup names (and optionally over the Path: value), its bit number in
// the feed flags, and the list of every distribution the feed-flag
// computation walks.
//
// Distribution string syntax:
//   - the first token runs up to the first comma; every later token ends at
//     the next space, comma or newline (so a space before the first comma
//     stays part of the first pattern); empty tokens are skipped;
//   - a token that begins with '#' sets cancelBypass and adds no pattern;
//   - any other token is a pattern, with optional prefixes in this fixed
//     order: '!' (negate), '@' (match the Path: value), '~' (exclude).
//     Prefixes in another order are ordinary pattern characters;
//   - a pattern holds at most 63 characters after its prefixes; a longer one
//     makes the whole string refused rather than cut into a different
//     pattern.
//
// Lifetime: records are never freed while the process runs. A record that
// a site replaces is only unlinked, because feeders made before the change
// still hold it in their history cursors and use its bit number.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/relay_base.h"

constexpr uint32_t kFeedBits = 128;         // sites that feed flags can name
constexpr size_t kMaxPatternLength = 63;    // characters of one pattern

struct _distpattern {
  char pattern[kMaxPatternLength + 1];  // without prefixes, NUL-terminated
  _distpattern* next;                   // next pattern of the distribution
  uint32_t negate;                      // '!': a matching group is ignored
  uint32_t pathMatch;                   // '@': matched against the Path: value
  uint32_t exclude;                     // '~': a match keeps the article away
  // A run of plain characters every matching text contains (RequiredLiteral);
  // a Path: value without it is refused by one substring search.
  uint8_t requiredOffset;
  uint8_t requiredLength;
  // Outcome of a path pattern for the article being flagged, so a long Path:
  // is matched once per article, not once per group. Guarded by
  // the list's lock.
  uint64_t pathSerial;
  uint32_t pathMatched;
};

struct _distrib {
  uint32_t bitMask;    // 1 << (bit mod 32)
  uint32_t wordIndex;  // bit / 32: the feed-flag word holding the bit, 0..3
  // Articles whose bit this distribution set ("flagged_for") and articles
  // whose Path: matched a path pattern ("inpath"). Increased only under
  // the list's lock; statistics read them without the lock.
  std::atomic<uint32_t> flaggedFor{0};
  std::atomic<uint32_t> inPath{0};
  // Nonzero lets cancel messages through; the control interface writes it
  // without the lock.
  std::atomic<uint32_t> cancelBypass{0};
  _distpattern* patterns = nullptr;  // first pattern, in written order
  _distrib* next = nullptr;          // next record of the list

  std::vector<_distpattern> patternStore;  // owns what `patterns` links
};

struct FeedArticle;

// The distributions of the relay's sites, newest first, and the cross-post
// limit. The relay owns them; its sites and its spool borrow them. A record
// once linked stays valid for the life of this object, linked or not (a
// site's old distribution may still be read).
class Distributions {
 public:
  // Reads "MaxCrossPosts" (absent or 0: 25); logs to the base's log.
  explicit Distributions(RelayBase* base);
  Distributions(const Distributions&) = delete;
  Distributions& operator=(const Distributions&) = delete;

  // Takes the record into the keep-for-life store and pushes it at the
  // head of the list. Returns the record.
  _distrib* LinkDistrib(std::unique_ptr<_distrib> record);

  // ParseDistrib then LinkDistrib: the new record, already at the head of
  // the list, or nullptr when the text is refused (nothing is linked then).
  _distrib* BuildDistrib(uint32_t bit, const char* text);

  // Unlinks `record` from the list wherever it stands. Returns nonzero when
  // it was there, 0 otherwise. Frees nothing.
  int DeleteDistrib(_distrib* record);

  // The linked records, newest first, under the list's lock.
  template <typename F>
  void ForEach(F visit) {
    std::lock_guard<std::mutex> lock(mu_);
    for (_distrib* d = head_; d != nullptr; d = d->next) visit(d);
  }

  // Cross-post limit: articles with more commas in their Newsgroups: line
  // are flagged for no site.
  uint32_t MaxCrossposts() const { return maxCrossposts_; }

  Log* log() const { return log_; }

 private:
  friend int FeedSetFlags(Distributions* distributions, const FeedArticle& article, uint32_t feedFlags[4]);

  // Guards the list, the walk over it and the patterns' memo fields.
  Log* const log_;
  std::mutex mu_;
  _distrib* head_ = nullptr;
  std::vector<std::unique_ptr<_distrib>> kept_;
  uint32_t maxCrossposts_;
  // Numbers the articles so that path patterns remember their outcome for
  // the current one only. Guarded by mu_.
  uint64_t articleSerial_ = 0;
};

// Start-up: the relay's distributions, empty, with the configured
// cross-post limit.
std::unique_ptr<Distributions> init_feed(RelayBase* base);

// Parses `text` into a new record for bit number `bit` without linking it.
// Returns nullptr for a bit of 128 or more, or a pattern of more than 63
// characters (logged to `log` unless it is null). The text is not modified.
std::unique_ptr<_distrib> ParseDistrib(uint32_t bit, const char* text, Log* log = nullptr);
