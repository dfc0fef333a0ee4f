// Keyed coding of a number object: integers with the integer coder, other
// numbers with the double coder, so either reads back as written.
#pragma once

#include <string>

#include "MCModels/mc_number.h"
#include "platform/keyed_archiver.h"

void MCEncodeNumber(platform::KeyedArchiver& coder, const MCNumber& n, const std::string& key);
MCNumber MCDecodeNumber(const platform::KeyedUnarchiver& coder, const std::string& key);
