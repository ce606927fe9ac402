// The new-entry signal: a sequence number advanced after every append, on
// which feeders wait for the next entry.
//
// A waiter notes the sequence before it last looks at the history and waits
// until the number differs from that note, so an append that lands between
// its failed look and its wait wakes it at once instead of being missed.
// An append with nobody waiting costs one atomic increment and one load.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class NewEntrySignal {
 public:
  uint32_t Sequence() const { return sequence_.load(std::memory_order_seq_cst); }

  // Advances the sequence and wakes every waiter.
  void Advance() {
    sequence_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> lock(mu_); }  // a waiter between its check and its sleep holds mu_
    cv_.notify_all();
  }

  // Waits until the sequence differs from `noted`, at most `timeout`.
  // Returns true when it did.
  bool WaitPast(uint32_t noted, std::chrono::milliseconds timeout) {
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    bool advanced;
    {
      std::unique_lock<std::mutex> lock(mu_);
      advanced = cv_.wait_for(lock, timeout, [&] { return Sequence() != noted; });
    }
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
    return advanced;
  }

 private:
  std::atomic<uint32_t> sequence_{0};
  std::atomic<uint32_t> waiters_{0};
  std::mutex mu_;
  std::condition_variable cv_;
};
