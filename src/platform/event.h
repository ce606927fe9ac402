// A manual-reset event: once set, every present and future waiter passes
// until it is reset.
#pragma once
#include <condition_variable>
#include <mutex>

class ManualResetEvent {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = false;
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return signalled_; });
  }
  // False when `limit` passed first.
  template <class Duration>
  bool WaitFor(Duration limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [this] { return signalled_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
};
