// Configuration: one file of "key = value" lines, read once at start-up into
// a list that every subsystem queries by key for the rest of the run.
//
// Line rules, applied to each chunk of at most 1023 characters:
//  - a "#" in column 1 makes the line a comment; nowhere else is "#" special;
//  - trailing bytes with codes 0 to 13 are cut (tabs, CR, LF), spaces are kept;
//  - the line is split at its first "="; lines without one are ignored;
//  - the key loses trailing spaces and tabs (never its first character) and
//    keeps leading blanks; the value skips leading spaces and tabs.
// Lookups compare keys without regard to ASCII case; the first line wins.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One relay's configuration. Texts handed out stay valid for the life of
// the object, even across a later LoadConfigFile.
class Config {
 public:
  Config();
  ~Config();
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Replaces the list with the entries of the file at `path`. Returns false
  // (and leaves the list alone) when the file cannot be opened.
  bool LoadConfigFile(const char* path);

  // Checks every integer key present in the list: it must be a whole
  // decimal number (blanks around it allowed, empty meaning 0) within the
  // key's range. Returns the message for the first key that is not, naming
  // the key and the range, or an empty text. ListenAddress, when present
  // and not empty, must be an IPv4 or IPv6 address.
  std::string CheckConfigValues() const;

  // The value of the first entry whose key matches, or nullptr.
  const char* GetConfigString(const char* key) const;

  // Returns 1 and stores the value converted as a C decimal integer
  // (negative numbers in two's complement) when the key is present; returns
  // 0 and leaves `dest` unchanged when it is not.
  int GetConfigInt(const char* key, uint32_t* dest) const;

 private:
  struct Entry;
  std::vector<std::unique_ptr<std::vector<Entry>>> lists_;  // every list loaded; the last is current
};

// Loads `config` from the file `path`, or, when that is null or empty, the
// file named by the environment variable VELTRANE_CONFIG. Reports through
// AddToMessageLog and ends the process with exit code 1 when there is no
// name, the file cannot be opened, or CheckConfigValues finds a problem.
// Returns 1.
int config_init(Config* config, const char* path = nullptr);
