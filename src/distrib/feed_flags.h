// Feed flags: which sites an article is offered to. One bit per site
// (bit b lives in word b / 32 under mask 1 << (b mod 32)), computed once per
// stored article from its Newsgroups: and Path: lines against every linked
// distribution, then kept in the article's history entry.
#pragma once
#include <cstddef>
#include <cstdint>

// The received article as the store step holds it. The text is only read,
// and only within `length` bytes: it need not end in a NUL and may hold NUL
// bytes. Nothing is cut in place; every line is bounded by its CR or LF or
// by the end of the text instead.
struct FeedArticle {
  const char* text = nullptr;       // headers then body, lines ending CR LF
  size_t length = 0;                // up to the CR LF before the "." line
  const char* pathValue = nullptr;  // first byte of the Path: value inside
                                    // `text`; nullptr: found by FindPathValue
  const char* articleId = "";       // Message-ID without angle brackets
};

class Distributions;

// Clears `feedFlags`, then sets the bit of every one of `distributions`
// that wants the article. Returns 1 when the distributions were consulted,
// 0 when the article goes to no site before that: no "Newsgroups:" in the
// text (a note on standard output), or more commas than MaxCrossposts in
// that line, or a line of 3000 characters or more (a "crosspost:" log
// line). Takes the list's lock for the walk over it.
int FeedSetFlags(Distributions* distributions, const FeedArticle& article, uint32_t feedFlags[4]);
