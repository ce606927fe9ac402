// The new-entry signal: how feeders wait for the next history entry their
// site wants.
//
// Each of the 128 feed-flag bits has a sequence number, advanced by every
// append whose entry carries the bit, and a wait of its own; a further
// sequence is advanced by a wake-up of everyone (a stop, articles given
// back). A waiter notes both sequences before it last looks at the history
// and waits until either differs from its note, so an append that lands
// between its failed look and its wait wakes it at once instead of being
// missed. An append wakes only the feeders of the sites that want its
// entry: a site that wants few articles costs nothing per article it does
// not want. An append with nobody waiting on its bits costs one atomic
// increment and one load per bit it carries.
#pragma once
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class NewEntrySignal {
 public:
  static constexpr uint32_t kBits = 128;
  // Stands for no bit: a waiter without one is woken by WakeAll only.
  static constexpr uint32_t kNoBit = kBits;

  // What a waiter notes before it looks.
  struct Note {
    uint32_t bitSequence = 0;
    uint32_t allSequence = 0;
  };

  Note Sequences(uint32_t bit) const {
    Note note;
    note.allSequence = all_.load(std::memory_order_seq_cst);
    if (bit < kBits) note.bitSequence = bits_[bit].sequence.load(std::memory_order_seq_cst);
    return note;
  }

  // After an append whose entry carries `flags` (four words, bit b in word
  // b / 32): wakes the waiters of those bits.
  void Advance(const uint32_t flags[4]) {
    for (uint32_t w = 0; w < 4; w++) {
      for (uint32_t word = flags[w]; word != 0; word &= word - 1) Advance(bits_[32 * w + uint32_t(std::countr_zero(word))]);
    }
  }

  // Wakes every waiter, whatever its bit.
  void WakeAll() {
    all_.fetch_add(1, std::memory_order_seq_cst);
    for (Bit& b : bits_) Notify(b);
    Notify(none_);
  }

  // Waits until an entry with `bit` was appended or everyone was woken
  // since `noted`, at most `timeout`. True when that happened.
  bool WaitPast(uint32_t bit, Note noted, std::chrono::milliseconds timeout) {
    Bit& b = bit < kBits ? bits_[bit] : none_;
    b.waiters.fetch_add(1, std::memory_order_seq_cst);
    bool advanced;
    {
      std::unique_lock<std::mutex> lock(b.mu);
      advanced = b.cv.wait_for(lock, timeout, [&] {
        return all_.load(std::memory_order_seq_cst) != noted.allSequence ||
               (bit < kBits && b.sequence.load(std::memory_order_seq_cst) != noted.bitSequence);
      });
    }
    b.waiters.fetch_sub(1, std::memory_order_seq_cst);
    return advanced;
  }

 private:
  struct Bit {
    std::atomic<uint32_t> sequence{0};
    std::atomic<uint32_t> waiters{0};
    std::mutex mu;
    std::condition_variable cv;
  };

  void Advance(Bit& b) {
    b.sequence.fetch_add(1, std::memory_order_seq_cst);
    Notify(b);
  }

  static void Notify(Bit& b) {
    if (b.waiters.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> lock(b.mu); }  // a waiter between its check and its sleep holds mu
    b.cv.notify_all();
  }

  Bit bits_[kBits];
  Bit none_;  // waiters without a bit
  std::atomic<uint32_t> all_{0};
};
