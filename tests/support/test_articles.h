// Articles as a peer sends them to a relay under test, and how that relay
// (HostPathIdentifier "test.relay") stores them.
#pragma once
#include <ctime>
#include <string>

#include "base/relay_base.h"
#include "history/history.h"

class RelayInstance;

// A Date: header value for `when` ("Mon, 02 Jan 2006 15:04:05 +0000").
std::string DateHeaderValue(time_t when);

// An article without its terminating "." line: Path:, From:, Newsgroups:,
// Subject:, Date: and Message-ID: headers, then `body`.
std::string Article(const std::string& id, const std::string& body = "Hello.\r\n",
                    const std::string& date = DateHeaderValue(time(nullptr)));

// What the spool holds for `article`: the stamp after "Path: ", and without
// the CR LF that ends the last line.
std::string Stored(const std::string& article);

// A takethis command with its article and terminator.
std::string Takethis(const std::string& id, const std::string& article);

// The history of a relay that has stopped, opened in this process on the
// relay's configuration, for as long as the object lives.
class StoppedRelayHistory {
 public:
  explicit StoppedRelayHistory(const RelayInstance& relay);

  // The stored bytes of `id`, or "(not in history)".
  std::string StoredBytes(const std::string& id);

 private:
  const RelayInstance& relay_;
  RelayBase base_;
  History history_;
};
