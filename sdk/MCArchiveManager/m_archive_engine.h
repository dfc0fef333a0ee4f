// One open map archive (a zip file) with its failures turned into the kit's
// errors (code 2): open, create, write a member, read a member, close. Not
// safe for concurrent use: one thread at a time per object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

struct zip;

// The most bytes one member may hold when read into memory (floor images and
// lists are far smaller); a larger member is refused with the read error.
inline constexpr uint64_t kMArchiveMemberCap = 64ull << 20;

class MArchiveEngine {
 public:
  MArchiveEngine() = default;  // init: no archive open
  ~MArchiveEngine();
  MArchiveEngine(const MArchiveEngine&) = delete;
  MArchiveEngine& operator=(const MArchiveEngine&) = delete;

  void createArchive(const std::string& path);
  void openArchive(const std::string& path, std::optional<platform::Error>* error);
  // 0 when the pending changes were written; the handle is released either way.
  int closeArchive();
  void writeBuffer(const std::string& name, const std::string& data,
                   std::optional<platform::Error>* error);
  // The member's size; below 1 (missing or empty) is a read error.
  int64_t fileSize(const std::string& name, std::optional<platform::Error>* error);
  // The member's bytes; none (with the read error) when missing, empty,
  // above the cap, or when its data does not hold the size its header claims.
  // Memory grows with the bytes actually read, never with the claim.
  std::optional<std::vector<uint8_t>> dataOfFile(const std::string& name,
                                                 std::optional<platform::Error>* error);

 private:
  zip* zip_ = nullptr;
};

platform::Error MArchiveReadError();
platform::Error MArchiveWriteError(const std::string& name);
