// Any bytes as a date text, with and without a length: no crash, no read
// outside the text, and the two forms of the call agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "parsedate/parsedate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const _timenow reference = {852458400, 0, 300};
  const char* text = reinterpret_cast<const char*>(data);
  int32_t bounded = parsedate(text, size, &reference);
  // The same bytes up to the first NUL, NUL-terminated.
  std::string terminated(text, strnlen(text, size));
  if (parsedate(terminated.c_str(), &reference) != bounded) abort();
  parsedate(text, size, nullptr);
  return 0;
}
