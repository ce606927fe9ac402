// Long-lived threads: the relay's service threads (refresh, expiry, the
// interpreter, one per connection) run until they end by themselves or the
// process ends, and nothing waits for them.
#pragma once
#include <functional>

// Starts `body` on a detached thread of its own. False when no thread could
// be started (the system is out of threads or memory); the caller decides
// what that means.
bool StartThread(std::function<void()> body);
