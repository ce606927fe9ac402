// Spool files in use: the current spool file and every file a feeder holds
// open. The spool expiry never deletes a file in this table (on Linux an
// open file could be unlinked under its reader). One table per spool.
#pragma once
#include <cstdint>
#include <mutex>
#include <unordered_map>

class OpenSpoolFiles {
 public:
  // Counts one more user of spool file `number`.
  void PinSpoolFile(uint32_t number);
  // Counts one user less.
  void UnpinSpoolFile(uint32_t number);
  // Deletes `path` (spool file `number`) unless the file is in use; false
  // when it was in use or could not be deleted. The check and the deletion
  // are one step with respect to PinSpoolFile.
  bool DeleteSpoolFileUnlessInUse(const char* path, uint32_t number);

 private:
  std::mutex mu_;
  std::unordered_map<uint32_t, uint32_t> users_;  // file number -> users
};
