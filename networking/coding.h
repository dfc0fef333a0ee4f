// Keyed coding of the plain values the client's archivable classes hold: header lists,
// sets of texts, status-code sets, requests, responses and errors (internal to networking/).
// Pure functions over one archiver or unarchiver, which belongs to the calling thread.
#pragma once
#include <optional>
#include <set>
#include <string>

#include "platform/error.h"
#include "platform/keyed_archiver.h"
#include "platform/url_request.h"

namespace mccoding {

void encodeHeaders(platform::KeyedArchiver& coder, const platform::HeaderList& headers, const std::string& key);
std::optional<platform::HeaderList> decodeHeaders(const platform::KeyedUnarchiver& coder, const std::string& key);

void encodeStrings(platform::KeyedArchiver& coder, const std::set<std::string>& strings, const std::string& key);
std::optional<std::set<std::string>> decodeStrings(const platform::KeyedUnarchiver& coder, const std::string& key);

// As ranges "200-299,304"; an unreadable range is skipped, codes outside 0-999 are dropped.
void encodeIndexes(platform::KeyedArchiver& coder, const std::set<long>& indexes, const std::string& key);
std::optional<std::set<long>> decodeIndexes(const platform::KeyedUnarchiver& coder, const std::string& key);

// A body stream is not archived: a decoded request has none.
void encodeRequest(platform::KeyedArchiver& coder, const platform::URLRequest& request, const std::string& key);
std::optional<platform::URLRequest> decodeRequest(const platform::KeyedUnarchiver& coder, const std::string& key);

void encodeResponse(platform::KeyedArchiver& coder, const platform::URLResponse& response, const std::string& key);
std::optional<platform::URLResponse> decodeResponse(const platform::KeyedUnarchiver& coder, const std::string& key);

// Domain, code, description and the underlying error; user info only where it is text.
void encodeError(platform::KeyedArchiver& coder, const platform::Error& error, const std::string& key);
std::optional<platform::Error> decodeError(const platform::KeyedUnarchiver& coder, const std::string& key);

}  // namespace mccoding
