#include "platform/threads.h"

#include <system_error>

bool ThreadSet::Start(std::function<void()> body) {
  std::lock_guard<std::mutex> lock(mu_);
  JoinEnded();
  try {
    // The new thread records its end under mu_, so it cannot do so before
    // it is in the map.
    uint64_t number = ++started_;
    std::thread t([this, number, body = std::move(body)] {
      body();
      std::lock_guard<std::mutex> ending(mu_);
      ended_.push_back(number);
    });
    threads_.emplace(number, std::move(t));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void ThreadSet::JoinEnded() {
  for (uint64_t number : ended_) {
    auto it = threads_.find(number);
    if (it == threads_.end()) continue;
    it->second.join();  // its body has returned: only the unlock is left
    threads_.erase(it);
  }
  ended_.clear();
}

void ThreadSet::JoinAll() {
  for (;;) {
    std::map<uint64_t, std::thread> joining;
    {
      std::lock_guard<std::mutex> lock(mu_);
      joining.swap(threads_);
    }
    if (joining.empty()) return;
    for (auto& [number, t] : joining) t.join();
  }
}

bool PeriodicThread::Start(std::chrono::milliseconds interval, std::function<void()> pass, bool passAtStart) {
  Stop();
  stop_ = false;
  try {
    thread_ = std::thread([this, interval, pass = std::move(pass), passAtStart] {
      std::unique_lock<std::mutex> lock(mu_);
      for (bool due = passAtStart; !stop_; due = !wake_.wait_for(lock, interval, [this] { return stop_; })) {
        if (!due) continue;
        lock.unlock();
        pass();
        lock.lock();
      }
    });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void PeriodicThread::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}
