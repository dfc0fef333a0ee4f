// The key of a radio-map entry: a transmitter's key text (a bssid or a beacon
// key), held once and shared by every entry of that transmitter. A floor's
// radio map files a hundred thousand entries and more under about a hundred
// keys, and a text of its own per entry was one more heap block each. Reads as
// the std::string it holds and compares with any text.
#pragma once

#include <compare>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

class RadioKey {
 public:
  RadioKey() = default;
  // Implicit, so that an entry can be filed under a plain text; each such key
  // holds a copy of its own.
  RadioKey(const std::string& text) : text_(std::make_shared<const std::string>(text)) {}
  RadioKey(const char* text) : text_(std::make_shared<const std::string>(text)) {}
  // Shares a text that others hold too; it is never changed through a key.
  explicit RadioKey(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}

  const std::string& str() const { return text_ ? *text_ : none(); }
  operator const std::string&() const { return str(); }
  size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  const char* c_str() const { return str().c_str(); }
  const char* data() const { return str().data(); }

  // Byte-wise, as std::string orders, against keys and plain texts alike.
  // Each kind of text has its own overload: a std::string or a char* could
  // otherwise become either a key or a view.
  // Keys sharing one text are equal without a look at it: a key's entries
  // lie side by side in a radio map and are compared with each other.
  friend bool operator==(const RadioKey& a, const RadioKey& b) {
    return a.text_ == b.text_ || a.view() == b.view();
  }
  friend bool operator==(const RadioKey& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const RadioKey& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const RadioKey& a, const char* b) { return a.view() == b; }
  friend std::strong_ordering operator<=>(const RadioKey& a, const RadioKey& b) {
    return a.text_ == b.text_ ? std::strong_ordering::equal : a.view() <=> b.view();
  }
  friend std::strong_ordering operator<=>(const RadioKey& a, std::string_view b) {
    return a.view() <=> b;
  }
  friend std::strong_ordering operator<=>(const RadioKey& a, const std::string& b) {
    return a.view() <=> std::string_view(b);
  }
  friend std::strong_ordering operator<=>(const RadioKey& a, const char* b) {
    return a.view() <=> std::string_view(b);
  }
  friend std::ostream& operator<<(std::ostream& out, const RadioKey& key) { return out << key.str(); }

 private:
  static const std::string& none() {
    static const std::string text;
    return text;
  }
  std::string_view view() const { return str(); }

  std::shared_ptr<const std::string> text_;  // null: empty
};
