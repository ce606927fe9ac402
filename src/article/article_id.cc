#include "article/article_id.h"

#include <array>
#include <cstring>
#include <nettle/md5.h>

namespace {

// The table of the identifier hash's steps, made by the compiler.
constexpr std::array<uint32_t, 128> MakeCrcTable() {
  std::array<uint32_t, 128> table{};
  for (uint32_t i = 0; i < 128; i++) {
    uint32_t v = 0;
    for (int n = 0; n < 7; n++) {
      if (i & (1u << n)) v ^= 0x48000000u >> n;
    }
    table[i] = v;
  }
  return table;
}
constexpr std::array<uint32_t, 128> CrcTable = MakeCrcTable();

constexpr uint32_t primes[5] = {52123457u, 321234581u, 123432473u, 675424129u, 625424133u};

constexpr size_t kMaxCopy = 255;

inline uint32_t HashStep(uint32_t h, unsigned char c) { return (h >> 7) ^ CrcTable[(h ^ c) & 0x7F]; }

uint64_t LittleEndian64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

// The digest leaves the identifier's last character out.
void ComputeKey(ArticleIdentity* id, size_t copied) {
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, copied - 1, reinterpret_cast<const uint8_t*>(id->articleId));
  md5_digest(&ctx, sizeof digest, digest);
  uint64_t d0 = LittleEndian64(digest), d1 = LittleEndian64(digest + 8);
  uint64_t key = (d0 * primes[copied % 5]) * d1;
  key &= ~(uint64_t(1) << 63);
  id->idKey[0] = uint32_t(key);
  id->idKey[1] = uint32_t(key >> 32);
}

}  // namespace

uint32_t hash(const char* text, int32_t length) {
  uint32_t h = 0;
  for (int32_t i = 0; i < length; i++) h = HashStep(h, static_cast<unsigned char>(text[i]));
  return h;
}

int GetArticleID(ArticleIdentity* id, const char* line, size_t length) {
  id->articleId[0] = '\0';
  size_t i = 0;
  while (i < length && line[i] != '<') {
    if (line[i] == '\n' || line[i] == '\0') return 0;
    i++;
  }
  if (i == length) return 0;
  i++;  // past '<'
  uint32_t h = 0;
  size_t copied = 0;
  // A NUL ends the identifier too: no Message-ID holds one, and the text
  // must read the same wherever it is printed or compared as a string.
  while (i < length && copied < kMaxCopy && line[i] != '>' && line[i] != '\n' && line[i] != '\0') {
    unsigned char c = static_cast<unsigned char>(line[i++]);
    id->articleId[copied++] = char(c);
    h = HashStep(h, c);
  }
  id->articleId[copied] = '\0';
  id->idHash = h;
  // "<>" has no last character to leave out: refused like a malformed one.
  if (copied == 0) return 0;
  ComputeKey(id, copied);
  bool closed = i < length && copied < kMaxCopy && line[i] == '>';
  return closed ? 1 : 0;
}
