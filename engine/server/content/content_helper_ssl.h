// HTTP/1.1 over TLS (OpenSSL 3, TLS 1.2 or later): the twins of GetResource and PostRequest.
// Run on the calling job's thread; each transfer owns its TLS objects. The
// peer must present a certificate that chains to MARVISTO_CA_LIST and names
// the content service (kMarvistoServiceName), whatever host the URL names.
#pragma once

#include <string>

// PEM text of the trusted root certificates. Writable so a host (or a test)
// can put its own root in; read at the start of every TLS transfer.
extern const char* MARVISTO_CA_LIST;
// The peer name every server certificate must carry.
extern const char* const kMarvistoServiceName;

int GetResourceSsl(const std::string& url, const std::string& fileName, int id, int progressMin,
                   int progressMax);
int PostRequestSsl(const std::string& host, int port, const std::string& request,
                   const std::string& fileName, int id, int progressMin, int progressMax);
