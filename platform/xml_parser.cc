#include "platform/xml_parser.h"

#include <tinyxml2.h>

namespace platform {
namespace {

class Emitter : public tinyxml2::XMLVisitor {
 public:
  explicit Emitter(const XMLParserHandlers& h) : h_(h) {}
  bool VisitEnter(const tinyxml2::XMLElement& e, const tinyxml2::XMLAttribute* a) override {
    if (h_.didStartElement) {
      std::map<std::string, std::string> attributes;
      for (; a; a = a->Next()) attributes[a->Name()] = a->Value();
      h_.didStartElement(e.Name(), attributes);
    }
    return true;
  }
  bool VisitExit(const tinyxml2::XMLElement& e) override {
    if (h_.didEndElement) h_.didEndElement(e.Name());
    return true;
  }
  bool Visit(const tinyxml2::XMLText& t) override {
    if (h_.foundCharacters && t.Value()) h_.foundCharacters(t.Value());
    return true;
  }

 private:
  const XMLParserHandlers& h_;
};

}  // namespace

bool XMLParser::parse(const XMLParserHandlers& handlers) {
  tinyxml2::XMLDocument doc;
  tinyxml2::XMLError rc = data_.empty() ? tinyxml2::XML_ERROR_EMPTY_DOCUMENT
                                        : doc.Parse(reinterpret_cast<const char*>(data_.data()), data_.size());
  if (rc != tinyxml2::XML_SUCCESS || !doc.RootElement()) {
    error_ = rc != tinyxml2::XML_SUCCESS ? std::string(doc.ErrorStr() ? doc.ErrorStr() : "parse error") : "no root element";
    if (handlers.parseErrorOccurred) handlers.parseErrorOccurred(*error_);
    return false;
  }
  Emitter emitter(handlers);
  doc.Accept(&emitter);
  return true;
}

}  // namespace platform
