// Command lines from peers are arbitrary bytes: the identifier must never
// read past them, and its text must stay within its 256 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "article/article_id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ArticleIdentity id;
  memset(&id, 0, sizeof id);
  int complete = GetArticleID(&id, reinterpret_cast<const char*>(data), size);
  size_t length = strnlen(id.articleId, sizeof id.articleId);
  if (length >= sizeof id.articleId) abort();
  if (complete && (id.idHash >> 31 != 0 || id.idKey[1] >> 31 != 0)) abort();
  return 0;
}
