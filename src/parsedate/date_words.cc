// The word tables and their lookup. Words arrive in lower case; entries are
// scanned in table order and the first match wins.
#include <cstring>
#include <iterator>

#include "parsedate/date_grammar.hh"
#include "parsedate/date_lex.h"

namespace {

struct WordEntry {
  const char* name;
  int kind;
  int32_t value;
};

// Month names carry their number; day names are recognised but unused.
constexpr WordEntry MonthDayTable[] = {
    {"january", MONTH_NAME, 1},   {"february", MONTH_NAME, 2}, {"march", MONTH_NAME, 3},
    {"april", MONTH_NAME, 4},     {"may", MONTH_NAME, 5},      {"june", MONTH_NAME, 6},
    {"july", MONTH_NAME, 7},      {"august", MONTH_NAME, 8},   {"september", MONTH_NAME, 9},
    {"october", MONTH_NAME, 10},  {"november", MONTH_NAME, 11}, {"december", MONTH_NAME, 12},
    {"sunday", DAY_NAME, 0},      {"monday", DAY_NAME, 0},     {"tuesday", DAY_NAME, 0},
    {"wednesday", DAY_NAME, 0},   {"thursday", DAY_NAME, 0},   {"friday", DAY_NAME, 0},
    {"saturday", DAY_NAME, 0},
};

// Month units count months, seconds units seconds.
constexpr WordEntry UnitsTable[] = {
    {"year", MONTH_UNIT, 12},     {"month", MONTH_UNIT, 1},    {"week", SECONDS_UNIT, 604800},
    {"day", SECONDS_UNIT, 86400}, {"hour", SECONDS_UNIT, 3600}, {"minute", SECONDS_UNIT, 60},
    {"min", SECONDS_UNIT, 60},    {"second", SECONDS_UNIT, 1}, {"sec", SECONDS_UNIT, 1},
};

// Zones in minutes west of UTC. A daylight zone word names the standard
// offset of its region; the parse takes the daylight hour off separately.
constexpr int Z = ZONE_WORD;
constexpr int ZD = DAYLIGHT_ZONE_WORD;
constexpr WordEntry TimezoneTable[] = {
    {"gmt", Z, 0},     {"ut", Z, 0},       {"utc", Z, 0},     {"cut", Z, 0},
    {"z", Z, 0},       {"wet", Z, 0},      {"bst", ZD, 0},    {"nst", Z, 210},
    {"ndt", ZD, 210},  {"ast", Z, 240},    {"adt", ZD, 240},  {"est", Z, 300},
    {"edt", ZD, 300},  {"cst", Z, 360},    {"cdt", ZD, 360},  {"mst", Z, 420},
    {"mdt", ZD, 420},  {"pst", Z, 480},    {"pdt", ZD, 480},  {"yst", Z, 540},
    {"ydt", ZD, 540},  {"akst", Z, 540},   {"akdt", ZD, 540}, {"hst", Z, 600},
    {"hast", Z, 600},  {"hadt", ZD, 600},  {"ces", ZD, -60},  {"cest", ZD, -60},
    {"mez", Z, -60},   {"mezt", ZD, -60},  {"cet", Z, -60},   {"met", Z, -60},
    {"eet", Z, -120},  {"msk", Z, -180},   {"msd", ZD, -180}, {"wast", Z, -480},
    {"wadt", ZD, -480}, {"hkt", Z, -480},  {"cct", Z, -480},  {"jst", Z, -540},
    {"kst", Z, -540},  {"kdt", Z, -540},   {"cast", Z, -570}, {"cadt", ZD, -570},
    {"east", Z, -600}, {"eadt", ZD, -600}, {"nzst", Z, -720}, {"nzdt", ZD, -720},
};

static_assert(std::size(MonthDayTable) == 19 && std::size(UnitsTable) == 9 &&
              std::size(TimezoneTable) == 48);

bool SameWord(const char* name, const char* word, size_t length) {
  return name[0] == word[0] && strncmp(name, word, length) == 0 && name[length] == '\0';
}

template <size_t N>
const WordEntry* FindExact(const WordEntry (&table)[N], const char* word, size_t length) {
  for (const WordEntry& e : table) {
    if (SameWord(e.name, word, length)) return &e;
  }
  return nullptr;
}

// Three letters (or three and a dot) name a month or day by its first three:
// "jan", "jan.", "thu". Longer words must be whole: "june", "monday".
const WordEntry* FindMonthOrDay(const char* word, size_t length) {
  bool abbreviation = length == 3 || (length == 4 && word[3] == '.');
  if (!abbreviation) return FindExact(MonthDayTable, word, length);
  for (const WordEntry& e : MonthDayTable) {
    if (e.name[0] == word[0] && e.name[1] == word[1] && e.name[2] == word[2]) return &e;
  }
  return nullptr;
}

int Found(const WordEntry* e, int32_t* value) {
  *value = e->value;
  return e->kind;
}

}  // namespace

int LookupWord(const char* word, size_t length, int32_t* value) {
  if (length > kMaxDateWord) length = kMaxDateWord;
  if (const WordEntry* e = FindMonthOrDay(word, length)) return Found(e, value);
  if (const WordEntry* e = FindExact(TimezoneTable, word, length)) return Found(e, value);
  if (const WordEntry* e = FindExact(UnitsTable, word, length)) return Found(e, value);
  if (length >= 2 && word[length - 1] == 's') {  // plural units: "days", "mins"
    if (const WordEntry* e = FindExact(UnitsTable, word, length - 1)) return Found(e, value);
  }

  // Dots only separate letters: "a.m.", "p.m.", "e.s.t.".
  char bare[kMaxDateWord];
  size_t n = 0;
  for (size_t i = 0; i < length; i++) {
    if (word[i] != '.') bare[n++] = word[i];
  }
  if (n == 2 && bare[1] == 'm' && (bare[0] == 'a' || bare[0] == 'p')) {
    *value = bare[0] == 'a' ? MER_AM : MER_PM;
    return MERIDIAN;
  }
  if (n != length) {
    if (const WordEntry* e = FindExact(TimezoneTable, bare, n)) return Found(e, value);
  }

  // Whatever is left reads as a zone at UTC.
  *value = 0;
  return ZONE_WORD;
}
