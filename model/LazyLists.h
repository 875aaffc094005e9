#pragma once
// Small fixed-size caches for the answers of the standard's table lookups. Each is a ring: entries are written
// in turn, the oldest is searched first and replaced first, so a key stays answerable until Capacity later
// new keys have been added. Keys compare by exact equality of every part.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "model/Enums.h"

namespace kelvado {

namespace lazylists_detail {

// Hashes of the keys; -0.0 and 0.0 compare equal and hash alike (std::hash<double> maps both to 0).
struct KeyHash {
  size_t operator()(double d) const { return std::hash<double>()(d); }
  template <typename K>
  size_t operator()(const K& k) const { return k.Hash(); }
};

template <typename Key, typename Value>
class Ring {
public:
  explicit Ring(size_t capacity) : items_(capacity) { index_.reserve(capacity); }

  // True when the key is already held (nothing changes); otherwise stores the entry, replacing the oldest one
  // when the ring is full, and returns false. A ring of capacity 0 holds nothing.
  bool Add(const Value& value, const Key& key) {
    if (Find(key)) return true;
    if (items_.empty()) return false;
    if (count_ == items_.size()) index_.erase(items_[write_].key);  // the oldest entry makes room
    items_[write_] = Entry{key, value};
    if (key == key) index_[key] = write_;  // a key equal to nothing (NaN) can never be found
    write_ = (write_ + 1) % items_.size();
    if (count_ < items_.size())
      ++count_;
    else
      oldest_ = write_;  // the oldest entry was just overwritten; the next one is now the oldest
    return false;
  }

  // The index makes a lookup cost the same however many answers are held, so the callers can afford caches
  // large enough to hold every distinct question of a project.
  const Value* Find(const Key& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &items_[it->second].value;
  }

  size_t Count() const { return count_; }
  size_t Capacity() const { return items_.size(); }
  void Clear() {
    write_ = oldest_ = count_ = 0;
    index_.clear();
  }

private:
  struct Entry {
    Key key{};
    Value value{};
  };
  std::vector<Entry> items_;
  std::unordered_map<Key, size_t, KeyHash> index_;
  size_t write_ = 0, oldest_ = 0, count_ = 0;
};

struct PFHKey {
  TCat cat;
  double dcavg;
  double mttfd;
  bool operator==(const PFHKey& o) const { return cat == o.cat && dcavg == o.dcavg && mttfd == o.mttfd; }
  size_t Hash() const {
    std::hash<double> h;
    return (h(dcavg) * 31 + h(mttfd)) * 7 + static_cast<size_t>(cat);
  }
};

struct PLrKey {
  uint8_t s, f, p;
  bool operator==(const PLrKey& o) const { return s == o.s && f == o.f && p == o.p; }
  size_t Hash() const { return (static_cast<size_t>(s) << 16) | (static_cast<size_t>(f) << 8) | p; }
};

// What the three lists share: the ring, its counts, and the answer for a key not held.
template <typename Key, typename Value>
class RingList {
public:
  explicit RingList(size_t capacity) : ring_(capacity) {}
  size_t Count() const { return ring_.Count(); }
  size_t Capacity() const { return ring_.Capacity(); }
  void Clear() { ring_.Clear(); }

protected:
  Value ValueOr(const Key& key, Value missing) const {
    const Value* v = ring_.Find(key);
    return v ? *v : missing;
  }
  Ring<Key, Value> ring_;
};

}  // namespace lazylists_detail

// A Double key to an integer; -1 when the key is not held.
class TFloatList : public lazylists_detail::RingList<double, int32_t> {
public:
  using RingList::RingList;
  bool Add(int32_t value, double key) { return ring_.Add(value, key); }
  int32_t ValueOf(double key) const { return ValueOr(key, -1); }
};

// Category, DCavg and MTTFd to a PFH; -1.0 when the key is not held.
class TPFHList : public lazylists_detail::RingList<lazylists_detail::PFHKey, double> {
public:
  using RingList::RingList;
  bool Add(double pfh, TCat cat, double dcavg, double mttfd) { return ring_.Add(pfh, {cat, dcavg, mttfd}); }
  double ValueOf(TCat cat, double dcavg, double mttfd) const { return ValueOr({cat, dcavg, mttfd}, -1.0); }
};

// Risk-graph parameters S, F, P to a PLr; plForward when the key is not held.
class TPLrList : public lazylists_detail::RingList<lazylists_detail::PLrKey, TPL> {
public:
  using RingList::RingList;
  bool Add(TPL plr, uint8_t s, uint8_t f, uint8_t p) { return ring_.Add(plr, {s, f, p}); }
  TPL ValueOf(uint8_t s, uint8_t f, uint8_t p) const { return ValueOr({s, f, p}, plForward); }
};

}  // namespace kelvado
