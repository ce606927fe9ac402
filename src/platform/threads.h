// Threads with owners. Every thread the relay starts belongs to a ThreadSet
// (or to a std::thread member) of the subsystem that started it; the owner
// asks its threads to end, wakes them from their waits, and joins them
// before it goes. No thread of the relay outlives its stop.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class ThreadSet {
 public:
  ThreadSet() = default;
  ~ThreadSet() { JoinAll(); }
  ThreadSet(const ThreadSet&) = delete;
  ThreadSet& operator=(const ThreadSet&) = delete;

  // Starts `body` on a thread of the set, first joining the threads whose
  // bodies have returned. False when no thread could be started (the
  // system is out of threads or memory); the caller decides what that
  // means.
  bool Start(std::function<void()> body);

  // Joins every thread of the set: the owner has asked them to end and
  // woken them. Threads started meanwhile are joined too.
  void JoinAll();

 private:
  void JoinEnded();  // caller holds mu_

  std::mutex mu_;
  uint64_t started_ = 0;                  // numbers the threads: ids may be reused, these never
  std::map<uint64_t, std::thread> threads_;
  std::vector<uint64_t> ended_;           // bodies returned, not yet joined
};

// A thread that runs `pass` every `interval` until Stop, which wakes it from
// its wait and joins it (a pass under way finishes first).
class PeriodicThread {
 public:
  PeriodicThread() = default;
  ~PeriodicThread() { Stop(); }
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  // Starts the thread (after stopping one started before); the first pass
  // runs at once with `passAtStart`, else after one interval. False when
  // no thread could be started.
  bool Start(std::chrono::milliseconds interval, std::function<void()> pass, bool passAtStart);
  void Stop();

 private:
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false;
};
