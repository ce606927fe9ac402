// A set of history positions (HistAbsolutePosition), for the entries a site
// holds: handed to a feeder and not yet answered, or waiting to be offered
// again. The cursor skips what is in it, so two feeders of one site never
// hold the same entry.
//
// Open addressing with linear probing; 0 marks an empty place (no entry
// lies at position 0). It grows by doubling when half full and never
// shrinks, so after warming up no insertion allocates. Not thread-safe:
// its site's lock guards it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class PositionSet {
 public:
  PositionSet() : places_(kInitialPlaces, 0) {}

  bool Contains(uint64_t position) const {
    for (size_t i = Home(position);; i = Next(i)) {
      if (places_[i] == position) return true;
      if (places_[i] == 0) return false;
    }
  }

  // False when it was already there.
  bool Insert(uint64_t position) {
    if ((size_ + 1) * 2 > places_.size()) Grow();
    size_t i = Home(position);
    for (; places_[i] != 0; i = Next(i)) {
      if (places_[i] == position) return false;
    }
    places_[i] = position;
    size_++;
    return true;
  }

  // False when it was not there.
  bool Erase(uint64_t position) {
    size_t i = Home(position);
    for (; places_[i] != position; i = Next(i)) {
      if (places_[i] == 0) return false;
    }
    // Backward shift: every later member of the run that may move into the
    // hole does, so that no probe stops early at it.
    for (size_t j = Next(i);; j = Next(j)) {
      if (places_[j] == 0) break;
      size_t home = Home(places_[j]);
      if ((j > i && (home <= i || home > j)) || (j < i && home <= i && home > j)) {
        places_[i] = places_[j];
        i = j;
      }
    }
    places_[i] = 0;
    size_--;
    return true;
  }

  size_t size() const { return size_; }

  // The lowest member, or UINT64_MAX when empty.
  uint64_t Lowest() const {
    uint64_t lowest = UINT64_MAX;
    for (uint64_t p : places_) {
      if (p != 0 && p < lowest) lowest = p;
    }
    return lowest;
  }

 private:
  static constexpr size_t kInitialPlaces = 1024;  // a power of two

  size_t Home(uint64_t position) const {
    return size_t((position * 0x9E3779B97F4A7C15ull) >> 32) & (places_.size() - 1);
  }
  size_t Next(size_t i) const { return (i + 1) & (places_.size() - 1); }

  void Grow() {
    std::vector<uint64_t> old(places_.size() * 2, 0);
    old.swap(places_);
    size_ = 0;
    for (uint64_t p : old) {
      if (p != 0) Insert(p);
    }
  }

  std::vector<uint64_t> places_;
  size_t size_ = 0;
};
