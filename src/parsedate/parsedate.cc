#include "parsedate/parsedate.h"

#include <cstring>
#include <ctime>

#include "parsedate/date_convert.h"
#include "parsedate/date_grammar.hh"
#include "parsedate/date_state.h"

namespace {

constexpr int32_t kDaylightMinutes = 60;

// The fields a text leaves out come from the reference time in local time.
// The default zone is the local standard offset: when no zone is written,
// Convert takes the daylight hour off by the local rules at the instant
// itself, so a reference offset that already holds that hour (a reference
// in summer) must not count it a second time.
void ResetState(DateState* st, const char* text, size_t length, const _timenow& now,
                const struct tm& local) {
  *st = DateState{};
  st->yyInput = text;
  st->yyInputEnd = text + length;
  st->yyYear = local.tm_year + 1900;
  st->yyMonth = local.tm_mon + 1;
  st->yyDay = local.tm_mday;
  st->yyMeridian = MER_24;
  st->yyTimezone = now.zone_minutes_west + (local.tm_isdst > 0 ? kDaylightMinutes : 0);
  st->yyDSTmode = DST_MAYBE;
}

// The instant the parsed items start from: the date and time given, or the
// reference time, or, with nothing at all given, the start of its local day.
bool StartTime(const DateState& st, const _timenow& now, const struct tm& local, int64_t* start) {
  if (st.yyHaveDate || st.yyHaveTime) {
    return Convert(st.yyMonth, st.yyDay, st.yyYear, st.yyHour, st.yyMinutes, st.yySeconds,
                   st.yyMeridian, st.yyDSTmode, st.yyTimezone, start) &&
           *start >= 0;
  }
  *start = now.seconds;
  if (!st.yyHaveRel) *start -= (local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec;
  return true;
}

}  // namespace

int32_t parsedate(const char* text, size_t length, const _timenow* now) {
  _timenow current;
  if (now == nullptr) {
    if (GetTimeInfo(&current) != 0) return -1;
    now = &current;
  }
  struct tm local;
  if (!LocalBreakdown(now->seconds, &local)) return -1;

  DateState st;
  ResetState(&st, text, length, *now, local);
  if (date_parse(&st) != 0) return -1;

  int64_t start;
  if (!StartTime(st, *now, local, &start)) return -1;
  if (__builtin_add_overflow(start, st.yyRelSeconds, &start)) return -1;
  if (st.yyRelMonth != 0) {
    int64_t delta;
    if (!RelativeMonth(start, st.yyRelMonth, st.yyTimezone, &delta)) return -1;
    start += delta;
  }
  if (start < INT32_MIN || start > INT32_MAX) return -1;
  // -1 is the failure value; the instant one second before 1970 gives way.
  return start == -1 ? 0 : int32_t(start);
}

int32_t parsedate(const char* text, const _timenow* now) {
  return parsedate(text, strlen(text), now);
}
