/// @file
/// A number object as the models hold positions: an integer, a float or a
/// double, read back as a double; its description is the number's shortest
/// text ("0", "1.5"). A value.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

/// An integer, float or double number, as the models hold coordinates.
class MCNumber {
 public:
  MCNumber() : v_(int64_t{0}) {}       ///< The integer 0.
  MCNumber(int v) : v_(int64_t{v}) {}  ///< An integer.
  MCNumber(int64_t v) : v_(v) {}       ///< An integer.
  MCNumber(float v) : v_(v) {}         ///< A float, kept as a float.
  MCNumber(double v) : v_(v) {}        ///< A double.

  double doubleValue() const;  ///< The value as a double, whatever it holds.
  /// Whether it holds an integer.
  bool isInteger() const { return std::holds_alternative<int64_t>(v_); }
  /// The value as an integer, truncated toward zero; 0 when out of range or NaN.
  int64_t integerValue() const;
  std::string description() const;  ///< The shortest text of the value ("0", "1.5").
  /// Same kind and same value: the integer 1 and the double 1.0 differ.
  bool operator==(const MCNumber& o) const { return v_ == o.v_; }

 private:
  std::variant<int64_t, float, double> v_;
};
