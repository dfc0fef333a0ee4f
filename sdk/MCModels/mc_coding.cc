#include "MCModels/mc_coding.h"

void MCEncodeNumber(platform::KeyedArchiver& coder, const MCNumber& n, const std::string& key) {
  if (n.isInteger()) {
    coder.encodeInt(n.integerValue(), key);
  } else {
    coder.encodeDouble(n.doubleValue(), key);
  }
}

MCNumber MCDecodeNumber(const platform::KeyedUnarchiver& coder, const std::string& key) {
  // A value stored as an integer reads as 0 through the double coder.
  const double d = coder.decodeDoubleForKey(key);
  if (d != 0.0) return MCNumber(d);
  return MCNumber(coder.decodeIntForKey(key));
}
