// The articles of one run. Every article has the same size and the same
// body; only its Message-ID and its time stamp differ, each a field of fixed
// width in an otherwise constant head. So the body (with the "." line
// that ends the article) is built once, and each article costs one short
// head formatted into the caller's buffer.
//
// Message-ID of article `seq` on connection `conn`:
//   <PREFIX.CCC.SSSSSSSSSSSS@loadgen.invalid>
// with CCC and SSSSSSSSSSSS zero-padded decimals, so a run prefix unique to
// the run makes every Message-ID of the run unique.
//
// Article text (CR LF line ends, no line starts with "."): the head
//   Path: loadgen.invalid!not-for-mail
//   From: Load Generator <loadgen@loadgen.invalid>
//   Newsgroups: local.test.load
//   Subject: load article[padding]
//   Date: <time of construction, RFC 5322, +0000>
//   Message-ID: <...>
//   X-Loadgen-Sent: <realtime clock in ns when the head was formatted, 19 digits>
//   (empty line)
// then body lines up to exactly `size` bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace loadgen {

class ArticleSource {
 public:
  static constexpr size_t kMaxId = 128;    // with the angle brackets
  static constexpr size_t kMaxHead = 512;

  ArticleSource(const std::string& runPrefix, uint32_t size, time_t now);

  // False when `size` cannot hold the head (see MinimumSize()).
  bool ok() const { return ok_; }
  uint32_t MinimumSize() const { return minimumSize_; }
  uint32_t size() const { return size_; }

  // Writes "<id>" of an article into `out` (kMaxId bytes); returns its length.
  size_t FormatId(uint32_t conn, uint64_t seq, char* out) const;
  // Writes the head of the article whose "<id>" is given into `out`
  // (kMaxHead bytes); returns its length, the same for every article.
  size_t FormatHead(std::string_view id, char* out) const;
  // Everything after the head: the body and the ".\r\n" line.
  std::string_view tail() const { return tail_; }

 private:
  std::string prefix_;
  std::string headBeforeId_;  // through "Message-ID: "
  std::string tail_;
  uint32_t size_;
  uint32_t minimumSize_ = 0;
  bool ok_ = false;
};

}  // namespace loadgen
