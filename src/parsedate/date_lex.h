// The scanner of date texts. It turns the bytes at st->yyInput into the
// grammar's tokens: unsigned and signed numbers, words classified through
// the word tables, and single characters. It never reads at or beyond
// st->yyInputEnd; a NUL or a byte with the high bit set ends the input.
#pragma once
#include <cstddef>
#include <cstdint>

#include "parsedate/date_state.h"

// Words keep at most this many characters; the rest are read and dropped.
constexpr size_t kMaxDateWord = 19;

// The next token of st's text: a token kind of the grammar with its value
// in *value, a character (':', '/', ',' and the like), 0 at the end of the
// input, or '?', which no rule accepts, for a comment that cannot be read or
// a number too long for 32 bits.
int date_lex(int32_t* value, DateState* st);

// Classifies a word of `length` lower-case letters and dots (1 to
// kMaxDateWord): month or day name, zone word, daylight zone word, unit or
// meridian, with its value in *value. Any word not in the tables is a zone
// word at UTC.
int LookupWord(const char* word, size_t length, int32_t* value);
