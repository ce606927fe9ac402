// The state of one parse of a date text: where the scanner stands, the
// calendar and clock fields the grammar fills in, and the relative offsets.
// parsedate builds a fresh one for every call and hands it to the scanner
// and the grammar, so concurrent parses share nothing.
#pragma once
#include <cstdint>

// How the hour of a time is to be read.
enum DateMeridian : int32_t { MER_AM = 0, MER_PM = 1, MER_24 = 2 };

// Whether daylight saving applies to the parsed instant.
enum DateDstMode : int32_t {
  DST_ON = 0,     // a daylight zone word: one hour is taken off
  DST_OFF = 1,    // a standard zone word or a numeric zone
  DST_MAYBE = 2,  // no zone given: the local rules at the instant decide
};

struct DateState {
  const char* yyInput;     // next byte to scan
  const char* yyInputEnd;  // one past the last byte the scanner may read

  int32_t yyYear, yyMonth, yyDay;  // month 1-12; year as written
  int32_t yyHour, yyMinutes, yySeconds;
  int32_t yyMeridian;  // a DateMeridian
  int32_t yyTimezone;  // minutes west of UTC
  int32_t yyDSTmode;   // a DateDstMode

  // Relative items add up here; 64 bits and checked sums, so that no
  // number of items can overflow them.
  int64_t yyRelSeconds;
  int64_t yyRelMonth;

  int32_t yyHaveDate, yyHaveTime;  // items seen; never more than one each
  int32_t yyHaveRel;               // 1 once a relative item was seen
};
