// An event-style XML parser over tinyxml2: start element, characters, end element, error.
// One parser per document; parse() runs on the calling thread and calls the handlers there.
// Not safe for concurrent use; separate parsers may run on separate threads.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct XMLParserHandlers {
  std::function<void(const std::string& name, const std::map<std::string, std::string>& attributes)> didStartElement;
  std::function<void(const std::string& text)> foundCharacters;
  std::function<void(const std::string& name)> didEndElement;
  std::function<void(const std::string& message)> parseErrorOccurred;
};

class XMLParser {
 public:
  explicit XMLParser(std::vector<uint8_t> data) : data_(std::move(data)) {}
  const std::vector<uint8_t>& data() const { return data_; }
  // Parses the whole document; false (after parseErrorOccurred) when it is not well formed.
  bool parse(const XMLParserHandlers& handlers);
  const std::optional<std::string>& parserError() const { return error_; }

 private:
  std::vector<uint8_t> data_;
  std::optional<std::string> error_;
};

}  // namespace platform
