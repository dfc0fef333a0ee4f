// Engine texts handed to the host as UTF-8: valid sequences pass unchanged,
// each byte that starts no valid sequence becomes U+FFFD. Pure function.
#pragma once

#include <string>

std::string MCUtf8Text(const std::string& bytes);
// True when every byte belongs to a valid sequence.
bool MCIsUtf8(const std::string& bytes);
