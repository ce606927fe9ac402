// The record of one admitted connection: its socket, its input buffer and
// the article being received. Owned by the connection's thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "article/article_id.h"
#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "base/relay_base.h"
#include "dedupe/precommit.h"
#include "dedupe/seen.h"
#include "incoming/incoming_table.h"
#include "platform/reserved_buffer.h"
#include "spool/article_spool.h"

// The input buffer: 1 MiB + 1 byte of address space per connection, of
// which 64 KiB + 1 is backed by memory until a large article needs more.
// The byte at offset bufLen is always a NUL.
//
// `buffer` points at the first unconsumed byte, `bufStart` bytes into the
// range: consuming from the front only moves the pointer, and the bytes
// are moved back to the range's start once per read (PostRead), so a
// buffer full of pipelined commands is not moved once per command. The
// free space a read may fill is still bufSize - bufLen - 1.
inline constexpr uint32_t kSmallBufferSize = 65536;
inline constexpr uint32_t kLargeBufferSize = 1048576;

// The identifier fields (articleId, idHash, idKey) come from ArticleIdentity.
class PeerTable;

// What the connections the listener admits share: the relay's objects they
// borrow, their settings and their count. It lives as long as the relay;
// what it points to stays valid until the listener's EndConnections has
// returned.
struct Intake {
  RelayBase* base = nullptr;
  ArticleSpool* spool = nullptr;
  PeerTable* peers = nullptr;
  PrecommitCache* precommit = nullptr;
  const SeenDb* seen = nullptr;
  // The full statistics text, the "ssp" reply.
  std::function<std::string()> statistics;
  // The read time-out (IncomingReadTimeout) and the time a command line or
  // an article may take from its first byte to its last
  // (IncomingTransferTimeout), in seconds. The read time-out alone would
  // let a peer that sends a byte now and then hold a connection for ever.
  uint32_t readTimeout = 300;
  uint32_t transferTimeout = 600;
  // Admitted connections that have not ended.
  std::atomic<uint32_t> connections{0};
  // Their sockets (TrackConnection until AddContextToFreeList closes them),
  // so that a stop can end them: a socket is shut down only while it is
  // here, so never after its descriptor was closed and perhaps reused.
  std::mutex trackedMu;
  std::set<int> tracked;
};

struct _clientcontext : ArticleIdentity {
  int sock = -1;
  uint32_t bufLen = 0;
  uint32_t scanPos = 0;
  uint32_t flags = 0;             // bit 0: answer with the streaming replies
  char* buffer = nullptr;         // memory.data() + bufStart
  uint32_t bufStart = 0;
  uint32_t storeArticle = 0;
  uint32_t articleLength = 0;
  uint32_t bufSize = 0;           // usable: kSmallBufferSize or kLargeBufferSize
  char peerName[256] = {0};
  _incomingentry* incoming = nullptr;
  Intake* intake = nullptr;  // the relay's, lent for the connection's life
  ReservedBuffer memory;
  bool releasePending = false;    // shrunk to 64 KiB, grown part still backed
  uint32_t readTimeout = 0;       // the socket's receive time-out, seconds,
  bool readTimeoutSet = false;    // once PostRead has set it
  // A command line or an article must arrive whole by this tick (ms) once
  // its first byte is in (see StartTransferClock).
  bool transferTimed = false;
  uint32_t transferDeadline = 0;
  // Replies not sent yet (see incoming/reply_buffer.h).
  uint32_t replyLen = 0;
  char replyBuf[8192];
  // Articles received whole after takethis and not stored yet, with their
  // identifiers (see StorePending): their text stays where it is in the
  // buffer until they are.
  uint32_t pendingCount = 0;
  StoreRequest pending[kMaxStoreBatch];
  char pendingIds[kMaxStoreBatch][sizeof ArticleIdentity::articleId];
};

inline constexpr uint32_t kStreamingReply = 1;

// A new zero-filled context with its small buffer ready, or nullptr.
_clientcontext* AllocClientContext();

// Closes the socket, gives back the buffer and frees the record.
void AddContextToFreeList(_clientcontext* ctx);

// Adds the context's socket to its intake's tracked sockets.
void TrackConnection(const _clientcontext* ctx);
// Shuts down every tracked socket of `intake`: each connection's thread
// then finds its peer gone and ends.
void ShutDownConnections(Intake* intake);

// Thrown by CloseConnection to end the connection's thread; caught only at
// the top of the thread routine.
struct ConnectionEnded {};

// Ends the connection: uncounts it, releases the context and ends the
// calling (connection) thread by unwinding to its routine.
[[noreturn]] void CloseConnection(_clientcontext* ctx);
