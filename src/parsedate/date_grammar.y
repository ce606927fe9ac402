/* The grammar of date texts, LALR(1). A text is a sequence of items: a time
   of day with an optional zone, a date, or a relative item. The actions
   fill in the DateState passed to date_parse; the parser keeps no state of
   its own (pure), and its stack has a fixed size: the item list is left
   recursive, so the stack never holds more than one item's tokens.

   Where two readings compete the parser shifts, which is the reading this
   system defines:
   - "U : U S" and "U : U : U S" are a time with its numeric zone, not a time
     followed by a zone (the same fields) or by a relative item ("10:00 +1
     day" is refused);
   - a zone word or a time followed by a signed number takes it as the zone;
   - "U M U" is day, month and year, not a date and then a time; and a
     number followed by a month name starts a date, not a time.
   These are the %expect'ed conflicts; bison stops the build if their
   number changes. */

%code requires {
#include <cstdint>
struct DateState;
}

%code {
#include "parsedate/date_lex.h"
#include "parsedate/date_state.h"

namespace {

void date_error(DateState*, const char*) {}  // failures carry no message

/* Each item kind may appear once: a second time or date fails at once. */
bool CountItem(int32_t* have) { return ++*have == 1; }

/* A numeric zone +hhmm or -hhmm as minutes west of UTC: -0500 is 300 and
   +0100 is -60. False for more than four digits or minutes of 60 or more. */
bool NumericZone(int32_t v, int32_t* minutesWest) {
  int64_t a = v < 0 ? -int64_t(v) : v;
  if (a > 9999 || a % 100 >= 60) return false;
  int32_t minutes = int32_t((a / 100) * 60 + a % 100);
  *minutesWest = v < 0 ? minutes : -minutes;
  return true;
}

bool SetNumericZone(DateState* st, int32_t v) {
  if (!NumericZone(v, &st->yyTimezone)) return false;
  st->yyDSTmode = DST_OFF;
  return true;
}

void SetTime(DateState* st, int32_t hour, int32_t minutes, int32_t seconds, int32_t meridian) {
  st->yyHour = hour;
  st->yyMinutes = minutes;
  st->yySeconds = seconds;
  st->yyMeridian = meridian;
}

void SetDate(DateState* st, int32_t year, int32_t month, int32_t day) {
  st->yyYear = year;
  st->yyMonth = month;
  st->yyDay = day;
}

bool AddRelative(int64_t* sum, int32_t number, int32_t unit) {
  return !__builtin_add_overflow(*sum, int64_t(number) * unit, sum);
}

}  // namespace
}

%define api.pure full
%define api.prefix {date_}
%define api.value.type {int32_t}
%parse-param {DateState* st}
%lex-param {DateState* st}
%expect 6

%token UNSIGNED_NUMBER SIGNED_NUMBER
%token MONTH_NAME DAY_NAME
%token ZONE_WORD DAYLIGHT_ZONE_WORD
%token MERIDIAN MONTH_UNIT SECONDS_UNIT

%%

text
  : %empty
  | text item
  ;

item
  : time { if (!CountItem(&st->yyHaveTime)) YYABORT; }
  | time zone { if (!CountItem(&st->yyHaveTime)) YYABORT; }
  | date { if (!CountItem(&st->yyHaveDate)) YYABORT; }
  | rel { st->yyHaveRel = 1; }
  ;

time
  : UNSIGNED_NUMBER o_merid {
      if ($1 < 100) SetTime(st, $1, 0, 0, $2);
      else SetTime(st, $1 / 100, $1 % 100, 0, $2);
    }
  | UNSIGNED_NUMBER ':' UNSIGNED_NUMBER o_merid { SetTime(st, $1, $3, 0, $4); }
  | UNSIGNED_NUMBER ':' UNSIGNED_NUMBER SIGNED_NUMBER {
      SetTime(st, $1, $3, 0, MER_24);
      if (!SetNumericZone(st, $4)) YYABORT;
    }
  | UNSIGNED_NUMBER ':' UNSIGNED_NUMBER ':' UNSIGNED_NUMBER o_merid {
      SetTime(st, $1, $3, $5, $6);
    }
  | UNSIGNED_NUMBER ':' UNSIGNED_NUMBER ':' UNSIGNED_NUMBER SIGNED_NUMBER {
      SetTime(st, $1, $3, $5, MER_24);
      if (!SetNumericZone(st, $6)) YYABORT;
    }
  ;

zone
  : ZONE_WORD { st->yyTimezone = $1; st->yyDSTmode = DST_OFF; }
  | DAYLIGHT_ZONE_WORD { st->yyTimezone = $1; st->yyDSTmode = DST_ON; }
  | ZONE_WORD SIGNED_NUMBER {
      /* "GMT+0100": only a zone word at UTC may carry an offset. */
      if ($1 != 0 || !SetNumericZone(st, $2)) YYABORT;
    }
  | SIGNED_NUMBER { if (!SetNumericZone(st, $1)) YYABORT; }
  ;

date
  : UNSIGNED_NUMBER '/' UNSIGNED_NUMBER { st->yyMonth = $1; st->yyDay = $3; }
  | UNSIGNED_NUMBER '/' UNSIGNED_NUMBER '/' UNSIGNED_NUMBER {
      if ($1 > 100) SetDate(st, $1, $3, $5);  /* 1997/07/05 */
      else SetDate(st, $5, $1, $3);           /* 07/05/97 */
    }
  | MONTH_NAME UNSIGNED_NUMBER { st->yyMonth = $1; st->yyDay = $2; }
  | MONTH_NAME UNSIGNED_NUMBER ',' UNSIGNED_NUMBER { SetDate(st, $4, $1, $2); }
  | UNSIGNED_NUMBER MONTH_NAME { st->yyMonth = $2; st->yyDay = $1; }
  | UNSIGNED_NUMBER MONTH_NAME UNSIGNED_NUMBER { SetDate(st, $3, $2, $1); }
  | DAY_NAME ',' UNSIGNED_NUMBER MONTH_NAME UNSIGNED_NUMBER { SetDate(st, $5, $4, $3); }
  ;

rel
  : UNSIGNED_NUMBER SECONDS_UNIT { if (!AddRelative(&st->yyRelSeconds, $1, $2)) YYABORT; }
  | SIGNED_NUMBER SECONDS_UNIT { if (!AddRelative(&st->yyRelSeconds, $1, $2)) YYABORT; }
  | UNSIGNED_NUMBER MONTH_UNIT { if (!AddRelative(&st->yyRelMonth, $1, $2)) YYABORT; }
  | SIGNED_NUMBER MONTH_UNIT { if (!AddRelative(&st->yyRelMonth, $1, $2)) YYABORT; }
  ;

o_merid
  : %empty { $$ = MER_24; }
  | MERIDIAN
  ;

%%
