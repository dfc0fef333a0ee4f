#include "MCModels/mc_number.h"

#include <charconv>

double MCNumber::doubleValue() const {
  return std::visit([](auto v) { return static_cast<double>(v); }, v_);
}

int64_t MCNumber::integerValue() const {
  if (const auto* i = std::get_if<int64_t>(&v_)) return *i;
  const double d = doubleValue();
  // Out-of-range and NaN values would be undefined to convert.
  if (!(d > -9.2e18 && d < 9.2e18)) return 0;
  return static_cast<int64_t>(d);
}

std::string MCNumber::description() const {
  char buf[64];
  auto r = std::visit([&](auto v) { return std::to_chars(buf, buf + sizeof buf, v); }, v_);
  return std::string(buf, r.ptr);
}
