// Article identifiers: the Message-ID on a command line becomes the
// identifier text, a 31-bit hash (history slot, precommit key) and a 63-bit
// key from an MD5 digest (seen key). Hash and key are pure functions of the
// text: the same in every thread and across restarts, since the seen
// database keeps keys on disk.
#pragma once
#include <cstddef>
#include <cstdint>

// The identifier of one article as the rest of the relay knows it.
struct ArticleIdentity {
  char articleId[256];  // Message-ID without its angle brackets, NUL-terminated
  uint32_t idHash;      // bit 31 always 0
  uint32_t idKey[2];    // 63-bit key, low half first; bit 63 always 0
};

// The identifier hash of `length` bytes: seven bits of each byte take part.
uint32_t hash(const char* text, int32_t length);

// Reads the Message-ID from the command line `line` (at most `length` bytes,
// up to its line feed): the first '<' starts it, a '>' ends it. Writes the
// identity and returns 1 for a complete identifier of 1 to 254 characters;
// returns 0 for no '<', a line that ends before '>', 255 or more characters,
// or the empty identifier "<>". A NUL ends the line as its line feed does,
// so an identifier holding one is incomplete. With no '<' the hash and key
// are left as they were.
int GetArticleID(ArticleIdentity* id, const char* line, size_t length);
