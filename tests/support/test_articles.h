// Articles as a peer sends them to a relay under test, and how that relay
// (HostPathIdentifier "test.relay") stores them.
#pragma once
#include <ctime>
#include <string>

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

// The stored bytes of `id`, read through the history this process has open
// (histinit on the relay's configuration, after the relay has stopped), or
// "(not in history)".
std::string StoredBytes(const RelayInstance& relay, const std::string& id);
