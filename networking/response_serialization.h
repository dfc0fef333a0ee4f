// Response serializers: validate a reply's status code and content type, then turn its bytes
// into an object (raw bytes, JSON, an XML parser, a property list as JSON, an image).
// Configure before use; afterwards a serializer keeps no per-call state and may be called
// from several threads at once (the client calls it on its processing queue).
#pragma once
#include <any>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "networking/networking_exports.h"
#include "platform/error.h"
#include "platform/image.h"
#include "platform/keyed_archiver.h"
#include "platform/text_encoding.h"
#include "platform/url_request.h"
#include "platform/xml_parser.h"

// The object a serializer returns: empty (none), Data, nlohmann::json,
// std::shared_ptr<platform::XMLParser> or std::shared_ptr<platform::Image>.
using MCResponseObject = std::any;

std::optional<platform::Error> MCErrorWithUnderlyingError(const std::optional<platform::Error>& error,
                                                          const std::optional<platform::Error>& underlyingError);
bool MCErrorOrUnderlyingErrorHasCodeInDomain(const platform::Error& error, int64_t code, const std::string& domain);
nlohmann::json MCJSONObjectByRemovingKeysWithNullValues(const nlohmann::json& object, unsigned long readingOptions);
std::shared_ptr<platform::Image> MCImageWithDataAtScale(const Data& data, double scale);
// Decodes image bytes under one process-wide lock.
std::shared_ptr<platform::Image> mc_safeImageWithData(const Data& data);

class MCHTTPResponseSerializer {
 public:
  static std::shared_ptr<MCHTTPResponseSerializer> serializer() { return std::make_shared<MCHTTPResponseSerializer>(); }
  MCHTTPResponseSerializer();
  virtual ~MCHTTPResponseSerializer() = default;

  platform::StringEncoding stringEncoding = platform::UTF8StringEncoding;
  std::optional<std::set<long>> acceptableStatusCodes;  // none: any
  std::optional<std::set<std::string>> acceptableContentTypes;  // none: any

  // `response` null: not an HTTP reply, always valid.
  virtual bool validateResponse(const platform::URLResponse* response, const Data& data,
                                std::optional<platform::Error>* error) const;
  virtual MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                                     std::optional<platform::Error>* error) const;

  // Archiving keeps "acceptableStatusCodes" and "acceptableContentTypes" plus each
  // subclass's own settings; a copy carries the same fields. Decoding rebuilds the archived
  // class (none for a class that is no response serializer).
  static const char* className() { return "MCHTTPResponseSerializer"; }
  virtual const char* archiveClassName() const { return className(); }
  virtual void encodeWithCoder(platform::KeyedArchiver& coder) const;
  static std::shared_ptr<MCHTTPResponseSerializer> initWithCoder(const platform::KeyedUnarchiver& coder);
  virtual std::shared_ptr<MCHTTPResponseSerializer> copy() const;
  // Any response serializer under `key`, by the class it was archived as.
  static void encodeSerializer(platform::KeyedArchiver& coder, const MCHTTPResponseSerializer& serializer, const std::string& key);
  static std::shared_ptr<MCHTTPResponseSerializer> decodeSerializer(const platform::KeyedUnarchiver& coder, const std::string& key);

 protected:
  void decodeBase(const platform::KeyedUnarchiver& coder);
  void copyBaseInto(MCHTTPResponseSerializer& other) const;
};

#define MC_RESPONSE_SERIALIZER_CODING(Class)                                              \
  static const char* className() { return #Class; }                                        \
  const char* archiveClassName() const override { return className(); }                    \
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;                     \
  static std::shared_ptr<Class> initWithCoder(const platform::KeyedUnarchiver& coder);     \
  std::shared_ptr<MCHTTPResponseSerializer> copy() const override;

class MCJSONResponseSerializer : public MCHTTPResponseSerializer {
 public:
  MC_RESPONSE_SERIALIZER_CODING(MCJSONResponseSerializer)
  static std::shared_ptr<MCJSONResponseSerializer> serializer() { return serializerWithReadingOptions(0); }
  static std::shared_ptr<MCJSONResponseSerializer> serializerWithReadingOptions(unsigned long options);
  MCJSONResponseSerializer();
  unsigned long readingOptions = 0;  // bit 2: top-level values other than objects and arrays allowed
  bool removesKeysWithNullValues = false;
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override;
};

class MCXMLParserResponseSerializer : public MCHTTPResponseSerializer {
 public:
  MC_RESPONSE_SERIALIZER_CODING(MCXMLParserResponseSerializer)
  static std::shared_ptr<MCXMLParserResponseSerializer> serializer() { return std::make_shared<MCXMLParserResponseSerializer>(); }
  MCXMLParserResponseSerializer();
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override;
};

class MCPropertyListResponseSerializer : public MCHTTPResponseSerializer {
 public:
  MC_RESPONSE_SERIALIZER_CODING(MCPropertyListResponseSerializer)
  static std::shared_ptr<MCPropertyListResponseSerializer> serializer() { return serializerWithFormat(100, 0); }
  static std::shared_ptr<MCPropertyListResponseSerializer> serializerWithFormat(unsigned long format, unsigned long readOptions);
  MCPropertyListResponseSerializer();
  unsigned long format = 100;
  unsigned long readOptions = 0;
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override;
};

class MCImageResponseSerializer : public MCHTTPResponseSerializer {
 public:
  MC_RESPONSE_SERIALIZER_CODING(MCImageResponseSerializer)
  static std::shared_ptr<MCImageResponseSerializer> serializer() { return std::make_shared<MCImageResponseSerializer>(); }
  MCImageResponseSerializer();
  double imageScale = 1;
  bool automaticallyInflatesResponseImage = true;
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override;
};

class MCCompoundResponseSerializer : public MCHTTPResponseSerializer {
 public:
  MC_RESPONSE_SERIALIZER_CODING(MCCompoundResponseSerializer)
  static std::shared_ptr<MCCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
      std::vector<std::shared_ptr<MCHTTPResponseSerializer>> serializers);
  std::vector<std::shared_ptr<MCHTTPResponseSerializer>> responseSerializers;
  MCResponseObject responseObjectForResponse(const platform::URLResponse* response, const Data& data,
                                             std::optional<platform::Error>* error) const override;
};
