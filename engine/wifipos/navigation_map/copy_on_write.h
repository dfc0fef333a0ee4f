// A value shared between copies until one of them changes it. The loaded map
// and the positioning state's copy of it hold the same radio maps, points and
// pictures this way instead of two of each.
#pragma once

#include <memory>

template <class T>
class CopyOnWrite {
 public:
  CopyOnWrite() : value_(std::make_shared<T>()) {}
  // Declared so that a move shares as a copy does: a moved-from floor stays
  // usable.
  CopyOnWrite(const CopyOnWrite&) = default;
  CopyOnWrite& operator=(const CopyOnWrite&) = default;

  const T& get() const { return *value_; }
  // The caller is about to change the value: a value other copies still
  // share is copied first, so they keep seeing the old one. Holders of one
  // object on several threads serialise these calls as for any other change.
  T& edit() {
    if (value_.use_count() > 1) value_ = std::make_shared<T>(*value_);
    return *value_;
  }
  // True when other copies share the value (for tests and benchmarks).
  bool shared() const { return value_.use_count() > 1; }

 private:
  std::shared_ptr<T> value_;
};
