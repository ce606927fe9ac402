// Finding a header in a received article: the rule the store step uses for
// Date: and Path: and the feed flags use for Path:.
#pragma once
#include <cstddef>

// The value of header `name` (e.g. "Date: ", at most 30 characters, case
// matters): after the name at the very start of the text, else after the
// first "\n" + name anywhere in it. nullptr when neither is there. Reads
// only the `length` bytes of the text.
const char* FindHeaderValue(const char* text, size_t length, const char* name);

// The value of the Path: header by that rule, or nullptr.
const char* FindPathValue(const char* text, size_t length);
