// Spool expiry: a background thread keeps the newest MaxKeepFileCount spool
// files ("<number>.art") in the article base folder and deletes the rest,
// oldest first, every six minutes. Files that are in use are skipped and
// tried again at a later pass; other files are never touched.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/threads.h"

class ArticleSpool;
class Config;

// The expiry of one spool's folder. The relay owns it; `spool` must
// outlive it.
class SpoolDirectory {
 public:
  // Reads ArticleBasePath and MaxKeepFileCount (default 5).
  SpoolDirectory(ArticleSpool* spool, const Config& config);
  ~SpoolDirectory() { DirShutdown(); }
  SpoolDirectory(const SpoolDirectory&) = delete;
  SpoolDirectory& operator=(const SpoolDirectory&) = delete;

  // Starts the expiry thread, whose first pass runs at once.
  void DirInit();

  // Ends the expiry thread (a pass under way finishes first) and joins it.
  void DirShutdown();

  // The names ending in ".art" in the article base folder, at most 399 of
  // them in the order the listing yields them, then sorted by name.
  std::vector<std::string> DirUpdate() const;

  // One expiry pass; returns the names it deleted.
  std::vector<std::string> DirExpirePass();

 private:
  ArticleSpool* const spool_;
  std::string base_;
  uint32_t keep_ = 5;
  PeriodicThread expirer_;
};

// The highest number among the spool file names ("<number>.art") in `base`,
// all of them, not only the 399 a pass considers; 0 when there is none.
uint32_t HighestSpoolFileNumber(const char* base);

// Byte-wise name order of the listing.
bool TCompare(const std::string& a, const std::string& b);
