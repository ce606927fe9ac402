// Disks that fill up, on small filesystems the tests mount: a full spool
// disk costs the articles that do not fit, never the relay; databases that
// cannot have their space stop the start with a message instead of killing
// the relay later.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/nntp_client.h"
#include "support/relay_instance.h"
#include "support/temp_dir.h"
#include "support/test_articles.h"

namespace {

using namespace std::chrono_literals;

std::string OnDisk(const std::string& disk) {
  return "ArticleBasePath = " + disk + "/spool\nHistoryTablePath = " + disk + "/history\nHistoryDataPath = " + disk +
         "/history\nSiteRecordPath = " + disk + "/history\n";
}

// Spool, history and seen files share an 8 MiB disk, 3.4 MB of it held by
// a file the test removes later. Tiny articles with long Message-IDs make
// the history grow faster than the spool, and the disk is full before the
// history is: the databases must have had all their blocks from the start,
// or the first store into a history page the disk cannot back kills the
// relay.
TEST(DiskFull, AFullSpoolDiskRefusesArticlesAndTheRelayCarriesOn) {
  TempDir dir;
  SmallFilesystem disk(dir, "disk", 8 << 20);
  if (!disk.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::filesystem::create_directories(disk.path() + "/spool");
  std::filesystem::create_directories(disk.path() + "/history");
  dir.Write("disk/filler", std::string(3400000, 'f'));
  RelayInstance relay(OnDisk(disk.path()) + "HistoryDataSize = 3500000\nHistoryTableSize = 100003\n"
                                            "MaxArticleFileSize = 100000000\n",
                      "AddIncoming 127.0.0.1");
  ASSERT_TRUE(relay.WaitReady()) << relay.process().Output();

  NntpClient feeder;
  ASSERT_TRUE(feeder.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(feeder.Line().substr(0, 4), "200 ");
  // Only the headers the relay needs: 60 bytes of spool per article, 230
  // of history.
  const std::string tiny = "Path: x\r\nDate: " + DateHeaderValue(time(nullptr)) + "\r\n\r\nx\r\n";
  const std::string padding(180, 'p');
  int stored = 0;
  for (;; stored++) {
    ASSERT_LT(stored, 100000) << "the disk never filled";
    std::string id = "fill" + std::to_string(stored) + padding + "@disk.test";
    if (!feeder.Send(Takethis(id, tiny)) || feeder.Line() != "239 <" + id + ">") break;
  }
  EXPECT_GT(stored, 1000);
  EXPECT_TRUE(relay.WaitForLog("article: Write failed, out of disk space?"));
  // The failed write ended that connection, and it is counted out.
  EXPECT_TRUE(feeder.WaitClosed(5000ms));

  // Still serving: offers are answered, stored articles refused, and the
  // statistics command works.
  NntpClient peer;
  ASSERT_TRUE(peer.Connect("127.0.0.1", relay.port()));
  ASSERT_EQ(peer.Line().substr(0, 4), "200 ");
  ASSERT_TRUE(peer.Send("check <later@disk.test>\r\ncheck <fill0" + padding + "@disk.test>\r\nssp\r\n"));
  EXPECT_EQ(peer.Line(), "238 <later@disk.test>");
  EXPECT_EQ(peer.Line(), "438 <fill0" + padding + "@disk.test>");
  std::string statistics = peer.Line();
  EXPECT_EQ(statistics.rfind("{starttime ", 0), 0u);
  EXPECT_NE(statistics.find("{host 127.0.0.1} {connected 1} {connects 2} "), std::string::npos) << statistics;

  // Room again: articles are stored again.
  std::filesystem::remove(disk.path() + "/filler");
  ASSERT_TRUE(peer.Send(Takethis("later@disk.test", tiny)));
  EXPECT_EQ(peer.Line(), "239 <later@disk.test>");
  EXPECT_EQ(relay.Stop(), 1);
  EXPECT_EQ(relay.LogText().find("exception"), std::string::npos);
}

// The seen files on a 512 KiB disk, then the history data file on a 2 MiB
// one: each start stops with the files and the space they need.
TEST(DiskFull, DatabasesWithoutRoomStopTheStart) {
  TempDir dir;
  SmallFilesystem small(dir, "small", 512 << 10), medium(dir, "medium", 2 << 20);
  if (!small.ok() || !medium.ok()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string seenMessage = "no disk space for " + small.path() + "/seen.idx and " + small.path() +
                                  "/seen.dat (824124 bytes)\n";
  const std::string historyMessage = "no disk space for " + medium.path() + "/hist.dat (4000000 bytes)\n";
  for (const auto& [disk, message] : {std::pair{small.path(), seenMessage}, {medium.path(), historyMessage}}) {
    std::filesystem::create_directories(disk + "/history");
    RelayInstance relay("HistoryTablePath = " + disk + "\nHistoryDataPath = " + disk +
                            "\nHistoryDataSize = 4000000\nHistoryTableSize = 100003\n",
                        "");
    EXPECT_EQ(relay.process().WaitExit(), 1);
    std::string output = relay.process().Output();
    EXPECT_NE(output.find(message), std::string::npos) << output;
  }
}

}  // namespace
