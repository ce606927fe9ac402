// A history database in a fresh folder, opened with small sizes, and direct
// access to its files for checking (and damaging) their bytes.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "article/article_id.h"
#include "base/config.h"
#include "base/log.h"
#include "history/history.h"
#include "history/history_cursor.h"
#include "support/temp_dir.h"

struct HistoryConfig {
  uint32_t dataSize = 40000;
  uint32_t tableSize = 16;
  bool siteRecordPath = true;
};

class HistoryTest : public ::testing::Test {
 protected:
  // Writes and loads the configuration; lines in `first` come before the
  // usual ones and so win over them.
  void Configure(const HistoryConfig& config, const std::string& first = "") {
    config_ = config;
    std::string text = first + "LogDirectory = " + dir_.path() + "\nHistoryTablePath = " + dir_.path() +
                       "\nHistoryDataPath = " + dir_.path() +
                       "\nHistoryDataSize = " + std::to_string(config.dataSize) +
                       "\nHistoryTableSize = " + std::to_string(config.tableSize) + "\n";
    if (config.siteRecordPath) text += "SiteRecordPath = " + dir_.MakeDir("sites") + "\n";
    ASSERT_TRUE(LoadConfigFile(dir_.Write("relay.conf", text).c_str()));
  }
  void Open(const HistoryConfig& config = HistoryConfig(), const std::string& first = "") {
    Configure(config, first);
    console_init();
    ASSERT_EQ(histinit(), 1);
    open_ = true;
  }
  void Close() {
    if (open_) histclose();
    open_ = false;
  }
  void TearDown() override {
    Close();
    LogLine(nullptr);
  }

  std::string DataPath() const { return dir_.File("hist.dat"); }
  std::string TablePath() const { return dir_.File("hist.idx"); }
  std::string Log() const { return ReadFile(dir_.File("veltrane.log")); }

  // A 32-bit little-endian word of a file (the mapping writes through to it).
  static uint32_t Word(const std::string& path, uint64_t offset) {
    int fd = open(path.c_str(), O_RDONLY);
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(pread(fd, &v, 4, off_t(offset)), 4) << path << " @" << offset;
    close(fd);
    return v;
  }
  static void PutWord(const std::string& path, uint64_t offset, uint32_t v) {
    int fd = open(path.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, &v, 4, off_t(offset)), 4);
    close(fd);
  }
  uint32_t Used() const { return Word(DataPath(), 0); }
  uint32_t SlotValue(uint32_t slot) const { return Word(TablePath(), uint64_t(slot) * 4); }
  uint32_t SlotOf(const std::string& id) const {
    crcinit();
    return hash(id.data(), int32_t(id.size())) % config_.tableSize;
  }

  // Appends `id`; returns the offset it was written at (0 on failure).
  uint32_t Add(const std::string& id, const uint32_t flags[4], uint32_t length = 100,
               uint32_t spoolOffset = 0, uint32_t spoolFile = 1) {
    uint32_t before = Used();
    if (AddArticleToHistory(id.c_str(), flags, spoolOffset, length, spoolFile) != 1) return 0;
    return before;
  }
  uint32_t Add(const std::string& id, uint32_t length = 100) { return Add(id, kAllSites, length); }

  // Offset of `id` by lookup, 0 when not found.
  static uint32_t Where(const std::string& id) {
    _histentry* e = FindArticle(id.c_str());
    if (e == nullptr) return 0;
    uint32_t pos = e->position;
    DestroyEntry(e);
    return pos;
  }

  static _histentry Cursor(uint32_t bit, char feedType = 'f', uint32_t position = 0) {
    _histentry c{};
    c.distribution.wordIndex = bit / 32;
    c.distribution.bitMask = 1u << (bit % 32);
    c.feedType = feedType;
    c.position = position;
    c.expireSerial = HistExpireSerial();
    return c;
  }

  static constexpr uint32_t kAllSites[4] = {~0u, ~0u, ~0u, ~0u};
  static constexpr uint32_t kNoSites[4] = {0, 0, 0, 0};

  TempDir dir_;
  HistoryConfig config_;
  bool open_ = false;
};
