#include "base/config.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "base/message_log.h"
#include "platform/net_address.h"
#include "platform/process.h"

namespace {

// Applies the line rules to one chunk; returns false when it yields no entry.
template <typename Entry>
bool ParseLine(char* line, Entry* entry) {
  if (line[0] == '#') return false;
  size_t len = strlen(line);
  while (len > 0 && static_cast<unsigned char>(line[len - 1]) <= 13) line[--len] = '\0';
  if (len == 0) return false;
  char* eq = strchr(line, '=');
  if (eq == nullptr) return false;
  size_t keyLen = size_t(eq - line);
  while (keyLen > 1 && (line[keyLen - 1] == ' ' || line[keyLen - 1] == '\t')) keyLen--;
  const char* value = eq + 1;
  while (*value == ' ' || *value == '\t') value++;
  entry->name.assign(line, keyLen);
  entry->value.assign(value);
  return true;
}

// The integer keys with the values that make sense for them. A value
// outside its range, negative, or not a whole number would otherwise be
// cut or misread in silence (a port of 70000 listening on 4464, a read
// time-out of 0 dropping every peer).
struct IntegerRange {
  const char* key;
  int64_t min;
  int64_t max;
};

constexpr int64_t kU32 = UINT32_MAX;
constexpr IntegerRange kIntegerKeys[] = {
    {"MaxArticleFileSize", 0, kU32},
    {"MaxArticleAge", 1, 3650},
    {"MaxKeepFileCount", 0, kU32},
    {"HistoryTableSize", 0, kU32},  // the history names its own limits
    {"HistoryDataSize", 0, kU32},
    {"SeenTableSize", 0, kU32},
    {"SeenDataCount", 0, kU32},
    {"PrecommitHashSize", 0, kU32},
    {"MaxPrecommitAge", 1, 86400000},
    {"ListenPort", 1, 65535},
    {"IncomingReadTimeout", 1, 86400},
    {"IncomingTransferTimeout", 1, 86400},
    {"MaxIncomingConnections", 1, 1000000},
    {"SiteDefaultMaxIncomingConnections", 0, 1000000},
    {"UpdateIncomingEntries", 0, 1},
    {"MaxKeepLogFile", 0, 100000},
    {"MaxCrossPosts", 0, kU32},
    {"MaxBacklog", 0, kU32},
    {"LatencyFeedPrefetch", 1, kU32},
    {"RegularFeedPrefetch", 1, kU32},
};

// Reads `text` as an optional sign and decimal digits, with blanks around
// them; an empty text is 0, as GetConfigInt reads it.
bool ParseWholeNumber(const char* text, int64_t* value) {
  const char* p = text + strspn(text, " \t");
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  const char* digits = p;
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; p++) v = std::min<int64_t>(v * 10 + (*p - '0'), int64_t(1) << 40);
  if (p == digits && *text != '\0') return false;
  if (p[strspn(p, " \t")] != '\0') return false;
  *value = negative ? -v : v;
  return true;
}

}  // namespace

struct Config::Entry {
  std::string name;
  std::string value;
};

Config::Config() = default;
Config::~Config() = default;

std::string Config::CheckConfigValues() const {
  for (const IntegerRange& r : kIntegerKeys) {
    const char* text = GetConfigString(r.key);
    int64_t value = 0;
    if (text == nullptr || (ParseWholeNumber(text, &value) && value >= r.min && value <= r.max)) continue;
    char message[512];
    snprintf(message, sizeof message, "%s = %.100s is not a whole number from %lld to %lld, exiting...", r.key,
             text, static_cast<long long>(r.min), static_cast<long long>(r.max));
    return message;
  }
  const char* listen = GetConfigString("ListenAddress");
  NetAddress address;
  if (listen != nullptr && *listen != '\0' && !ParseNetAddress(listen, &address)) {
    return "ListenAddress = " + std::string(listen).substr(0, 100) + " is not an IPv4 or IPv6 address, exiting...";
  }
  return "";
}

bool Config::LoadConfigFile(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return false;
  auto list = std::make_unique<std::vector<Entry>>();
  char line[1024];
  while (fgets(line, sizeof line, f) != nullptr) {
    Entry entry;
    if (ParseLine(line, &entry)) list->push_back(std::move(entry));
  }
  fclose(f);
  lists_.push_back(std::move(list));
  return true;
}

int config_init(Config* config, const char* path) {
  if (path == nullptr || *path == '\0') path = getenv("VELTRANE_CONFIG");
  if (path == nullptr || *path == '\0' || strlen(path) > 259) {
    StartupFailure("ConfigFile not specified in veltrane\\parameters in the registry", true);
  }
  if (!config->LoadConfigFile(path)) StartupFailure(std::string("could not open config file, exiting...\n") + path, true);
  std::string problem = config->CheckConfigValues();
  if (!problem.empty()) StartupFailure(problem, true);
  return 1;
}

const char* Config::GetConfigString(const char* key) const {
  if (lists_.empty()) return nullptr;
  for (const Entry& e : *lists_.back()) {
    if (strcasecmp(e.name.c_str(), key) == 0) return e.value.c_str();
  }
  return nullptr;
}

int Config::GetConfigInt(const char* key, uint32_t* dest) const {
  const char* value = GetConfigString(key);
  if (value == nullptr) return 0;
  // strtoll saturates instead of overflowing; the low 32 bits are kept, as
  // a C conversion to an unsigned 32-bit destination would.
  *dest = static_cast<uint32_t>(strtoll(value, nullptr, 10));
  return 1;
}
