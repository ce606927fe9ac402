// A peer's bytes are arbitrary: commands, pipelined bursts, articles split
// anywhere, NUL and high-bit bytes. The connection code must answer or end
// the connection, never crash, read out of bounds or hang; a spool and
// history on real files take whatever it stores.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "article/article_id.h"
#include "base/relay_base.h"
#include "history/history.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "incoming/client_context.h"
#include "incoming/incoming_table.h"
#include "incoming/input_buffer.h"
#include "incoming/nntp_server.h"
#include "spool/article_spool.h"

namespace {

_incomingentry* peer = nullptr;
PrecommitCache* precommit = nullptr;
SeenDb* seen = nullptr;
PeerTable* peers = nullptr;
Intake intake;
std::string dir;

void RemoveFolder() { std::filesystem::remove_all(dir); }

void SetUp() {
  char folder[] = "/tmp/veltrane-fuzz-nntp-XXXXXX";
  if (mkdtemp(folder) == nullptr) abort();
  dir = folder;
  atexit(RemoveFolder);
  std::string spool = dir + "/spool";
  mkdir(spool.c_str(), 0700);
  std::string config = "LogDirectory = " + dir + "\nHistoryTablePath = " + dir + "\nHistoryDataPath = " + dir +
                       "\nHistoryDataSize = 2000000\nHistoryTableSize = 1009\nSiteRecordPath = " + dir +
                       "\nArticleBasePath = " + spool + "\nHostPathIdentifier = fuzz.relay\n" +
                       "MaxArticleFileSize = 100000000\nMaxArticleAge = 36500\nUpdateIncomingEntries = 0\n";
  std::string path = dir + "/relay.conf";
  FILE* f = fopen(path.c_str(), "w");
  // Everything below lives as long as the fuzzer.
  RelayBase* base = new RelayBase;
  if (f == nullptr || fputs(config.c_str(), f) < 0 || fclose(f) != 0 || !base->config.LoadConfigFile(path.c_str())) {
    abort();
  }
  base->log.console_init(base->config);
  seen = new SeenDb(base);
  if (seen->SeenOpen(dir.c_str(), dir.c_str(), 10000, 10007) != SeenOpenResult::kOk) abort();
  ArticleSpool* articles = new ArticleSpool(base);
  // No distribution is ever linked: nothing is flagged.
  articles->ArticleInit(new History(base), seen, new Distributions(base));
  precommit = new PrecommitCache(1009, 100);
  peers = new PeerTable(&base->config);
  peers->SetHostResolver([](const char*, std::vector<NetAddress>* addresses) {
    addresses->emplace_back();
    return ParseNetAddress("127.0.0.1", &addresses->back());
  });
  peers->AddIncoming("peer.fuzz");
  peer = &peers->Slot(kIncomingSlots - 1);
  intake.base = base;
  intake.spool = articles;
  intake.peers = peers;
  intake.precommit = precommit;
  intake.seen = seen;
  intake.readTimeout = 1;
  intake.transferTimeout = 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (peer == nullptr) SetUp();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
  _clientcontext* ctx = AllocClientContext();
  if (ctx == nullptr) abort();
  ctx->sock = fds[0];
  ctx->incoming = peer;
  ctx->intake = &intake;
  peer->connected++;
  intake.connections++;
  snprintf(ctx->peerName, sizeof ctx->peerName, "peer.fuzz");
  // The first byte sets the size of the pieces the input is written in.
  size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
  std::thread writer([&] {
    for (size_t at = 0; at < size; at += piece) {
      if (send(fds[1], data + at, std::min(piece, size - at), MSG_NOSIGNAL) < 0) break;
    }
    shutdown(fds[1], SHUT_WR);
  });
  std::thread reader([&] {
    char sink[65536];
    while (read(fds[1], sink, sizeof sink) > 0) {
    }
  });
  nntp(ctx);  // ends when the input does, closing the relay's end
  writer.join();
  reader.join();
  close(fds[1]);
  return 0;
}
