// The spool on real files in a fresh folder: a configuration of the test's
// own, a real log, seen and history database, one listed peer, and a
// settable clock so that file numbers and ages are exact.
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "history/history.h"
#include "incoming/incoming_table.h"
#include "spool/article_spool.h"
#include "support/temp_dir.h"

class SpoolTest : public ::testing::Test {
 protected:
  static constexpr const char* kPeer = "peer.test";
  static constexpr const char* kStamp = "relay.test!";

  // The time the spool reads while the test runs.
  static uint32_t now;
  static uint32_t Clock() { return now; }

  // Writes and loads the configuration (lines in `first` win over the
  // usual ones), opens log and seen database and runs ArticleInit.
  void Start(const std::string& first = "");
  void TearDown() override;

  // An article as received, without the CR LF before its "." line: Path:
  // first, Date: second, then Newsgroups:, Message-ID: and a body.
  static std::string Article(const std::string& id, const std::string& date, const std::string& body = "Body.");
  // The same article with its body padded so that it is stored in exactly
  // `stored` bytes (stamp included).
  static std::string ArticleOfSize(const std::string& date, size_t stored);
  // `article` as the spool stores it: "Path: " + stamp + the rest.
  static std::string Stamped(const std::string& article);
  // A date header value for `t` ("Mon, 02 Jan 2006 15:04:05 +0000").
  static std::string DateText(uint32_t t);

  // `article` as the reception hands it over: the text, then (when
  // `terminated`) the CR LF "." CR LF that ended it, from the listed peer.
  // The bytes live until TearDown.
  StoreRequest Request(const std::string& id, const std::string& article, bool terminated = true);
  // AddArticleToFile on a fresh request: 1 when stored, else 0.
  int Store(const std::string& id, const std::string& article, bool terminated = true);
  // The listed peer's counters, as the connection code passes them.
  PeerCounters Peer() const { return PeerCounters{&peer_->refused, &peer_->rejected}; }
  // The seen key of `id`.
  static std::array<uint32_t, 2> Key(const std::string& id);

  // The history entry of `id` (a copy); `found` false when it is missing.
  HistEntryHeader Entry(const std::string& id, bool* found = nullptr) const;
  // Bytes [offset, offset + length) of spool file `number`.
  std::string SpoolBytes(uint32_t number, uint32_t offset, uint32_t length) const;
  std::string SpoolPath(uint32_t number) const;
  std::string SpoolFile(const std::string& name) const { return spool_ + "/" + name; }
  // Names in the spool folder, sorted.
  std::vector<std::string> SpoolNames() const;
  std::string Log() const;
  bool Seen(const std::string& id) const;

  TempDir dir_;
  std::string spool_;
  _incomingentry* peer_ = nullptr;
  std::deque<std::string> texts_;
  bool started_ = false;
};
