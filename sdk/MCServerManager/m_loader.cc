#include "MCServerManager/m_loader.h"

#include "server/content/content_helper.h"

int MLoader::startUrlLoader(const std::string& url, const std::string& fileName) {
  return StartUrlLoader(url, fileName);
}

int MLoader::startLoadLocation(const std::string& location, const std::string& fromServer,
                               const std::string& withUserHash, const std::string& toFileName,
                               bool forced) {
  return StartLocationLoader(fromServer, withUserHash, location, toFileName, forced);
}

int MLoader::startUploadLocation(const std::string& location, const std::string& toServer,
                                 const std::string& withUserHash, const std::string& fromFileName,
                                 bool forced) {
  return StartLocationUploader(toServer, withUserHash, location, fromFileName, forced);
}

// Loader and uploader records live in one registry, so both checks and both
// stops are the same call.
int MLoader::checkLocationLoader(int id) { return CheckLocationLoader(id); }
int MLoader::checkLocationUploader(int id) { return CheckLocationLoader(id); }
void MLoader::stopLocationLoader(int id) { StopLocationLoader(id); }
void MLoader::stopLocationUploader(int id) { StopLocationLoader(id); }
