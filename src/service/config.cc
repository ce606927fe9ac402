#include "service/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "platform/process.h"
#include "service/message_log.h"

namespace {

struct ConfigEntry {
  std::string name;
  std::string value;
};

using ConfigList = std::vector<ConfigEntry>;

// Every list ever loaded stays alive, so texts handed out keep pointing at
// valid memory even when a test loads another file.
std::vector<std::unique_ptr<ConfigList>>& AllLists() {
  static std::vector<std::unique_ptr<ConfigList>> lists;
  return lists;
}
const ConfigList* current = nullptr;

// Applies the line rules to one chunk; returns false when it yields no entry.
bool ParseLine(char* line, ConfigEntry* entry) {
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

}  // namespace

bool LoadConfigFile(const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) return false;
  auto list = std::make_unique<ConfigList>();
  char line[1024];
  while (fgets(line, sizeof line, f) != nullptr) {
    ConfigEntry entry;
    if (ParseLine(line, &entry)) list->push_back(std::move(entry));
  }
  fclose(f);
  current = list.get();
  AllLists().push_back(std::move(list));
  return true;
}

int config_init(void*) {
  const char* path = getenv("VELTRANE_CONFIG");
  if (path == nullptr || *path == '\0' || strlen(path) > 259) {
    AddToMessageLog("ConfigFile not specified in veltrane\\parameters in the registry");
    ExitProcess(1);
  }
  if (!LoadConfigFile(path)) {
    AddToMessageLog("could not open config file, exiting...");
    AddToMessageLog(path);
    ExitProcess(1);
  }
  return 1;
}

const char* GetConfigString(const char* key) {
  if (current == nullptr) return nullptr;
  for (const ConfigEntry& e : *current) {
    if (strcasecmp(e.name.c_str(), key) == 0) return e.value.c_str();
  }
  return nullptr;
}

int GetConfigInt(const char* key, uint32_t* dest) {
  const char* value = GetConfigString(key);
  if (value == nullptr) return 0;
  // strtoll saturates instead of overflowing; the low 32 bits are kept, as
  // a C conversion to an unsigned 32-bit destination would.
  *dest = static_cast<uint32_t>(strtoll(value, nullptr, 10));
  return 1;
}
