// Text encodings named by their IANA charset names ("utf-8", "iso-8859-1", ...), converted
// with iconv. Pure functions, safe from any thread.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using StringEncoding = std::string;  // a canonical IANA name
inline const StringEncoding UTF8StringEncoding = "UTF-8";

// The encoding a charset name stands for; none when the name is unknown.
std::optional<StringEncoding> encodingForIANACharsetName(const std::string& name);
// Bytes in `encoding` to UTF-8 text; none when they are not valid in that encoding.
std::optional<std::string> decodeString(const std::vector<uint8_t>& bytes, const StringEncoding& encoding);
// UTF-8 text to bytes in `encoding`; none when a character cannot be represented.
std::optional<std::vector<uint8_t>> encodeString(const std::string& text, const StringEncoding& encoding);
// Whether the bytes are UTF-8 as Unicode defines it: every sequence complete, in its shortest
// form, and neither a surrogate nor past U+10FFFF.
bool isUTF8(std::string_view text);
// The length of the valid UTF-8 sequence that starts at `at` (below text.size()), 0 when none does.
size_t utf8SequenceLength(std::string_view text, size_t at);

}  // namespace platform
