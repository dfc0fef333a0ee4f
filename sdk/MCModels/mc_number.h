// A number object as the models hold positions: an integer, a float or a
// double, read back as a double; its description is the number's shortest
// text ("0", "1.5"). A value.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

class MCNumber {
 public:
  MCNumber() : v_(int64_t{0}) {}
  MCNumber(int v) : v_(int64_t{v}) {}
  MCNumber(int64_t v) : v_(v) {}
  MCNumber(float v) : v_(v) {}
  MCNumber(double v) : v_(v) {}

  double doubleValue() const;
  bool isInteger() const { return std::holds_alternative<int64_t>(v_); }
  int64_t integerValue() const;
  std::string description() const;
  bool operator==(const MCNumber& o) const { return v_ == o.v_; }

 private:
  std::variant<int64_t, float, double> v_;
};
