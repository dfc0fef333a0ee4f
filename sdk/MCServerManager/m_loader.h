// Thin front to the engine's transfer jobs: each call hands its texts to one
// job function and returns what it returns (a job id, -1 when the job cannot
// start; a job state, -1 for an id the registry does not hold). Stateless;
// safe from any thread. Virtual so a host or a test can script the jobs.
#pragma once

#include <string>

class MLoader {
 public:
  virtual ~MLoader() = default;
  virtual int startUrlLoader(const std::string& url, const std::string& fileName);
  virtual int startLoadLocation(const std::string& location, const std::string& fromServer,
                        const std::string& withUserHash, const std::string& toFileName, bool forced);
  virtual int startUploadLocation(const std::string& location, const std::string& toServer,
                          const std::string& withUserHash, const std::string& fromFileName, bool forced);
  virtual int checkLocationLoader(int id);
  virtual int checkLocationUploader(int id);
  virtual void stopLocationLoader(int id);
  virtual void stopLocationUploader(int id);
};
