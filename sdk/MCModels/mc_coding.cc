#include "MCModels/mc_coding.h"

void MCEncodeNumber(platform::KeyedArchiver& coder, const MCNumber& n, const std::string& key) {
  if (n.isInteger()) {
    coder.encodeInt(n.integerValue(), key);
  } else {
    coder.encodeDouble(n.doubleValue(), key);
  }
}

MCNumber MCDecodeNumber(const platform::KeyedUnarchiver& coder, const std::string& key) {
  // The coder reads either kind through either call, so a whole number comes
  // back as an integer: the same value, the same description.
  const double d = coder.decodeDoubleForKey(key);
  const int64_t i = coder.decodeIntForKey(key);
  if (static_cast<double>(i) == d) return MCNumber(i);
  return MCNumber(d);
}
