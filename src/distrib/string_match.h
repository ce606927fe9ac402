// Wildcard matching of newsgroup names and Path: values against the
// patterns of a distribution.
//
// Pattern language (whole-string, byte-for-byte, case-sensitive):
//   *      any run of characters, the empty one included
//   ?      any one character
//   [...]  one character out of a set of members; a member "c-h" is the range
//          between c and h in either order, compared as signed 8-bit values.
//          There is no negated set ('^' and '!' are members), ']' is never a
//          member (so "[]" matches nothing), and a set whose ']' is missing
//          swallows the rest of the pattern once it has matched
//   \c     the character c itself; a '\' that ends the pattern matches nothing
//   other  itself
//
// The work is bounded: matching never recurses and takes at most
// O(text length x pattern length) steps, whatever the number of stars.
#pragma once
#include <cstddef>

// 1 if the whole NUL-terminated `text` matches the whole `pattern`, else 0.
int StringMatch(const char* text, const char* pattern);

// The same over `length` bytes of `text`, which need not end in a NUL and may
// hold NUL bytes (a NUL is then an ordinary character).
int StringMatch(const char* text, size_t length, const char* pattern);

// True for a pattern character that stands only for itself: not '*', '?',
// '[', '\\' or the terminating NUL.
inline bool IsPlainPatternChar(char c) {
  return c != '*' && c != '?' && c != '[' && c != '\\' && c != '\0';
}

// The longest run of plain characters (no '*', '?', '[' or '\\') in the part
// of `pattern` before its first set or escape. Every text that matches the
// pattern contains that run, so a text without it can be refused by a
// substring search. Returns its length (0: none) and stores its offset.
size_t RequiredLiteral(const char* pattern, size_t* offset);
