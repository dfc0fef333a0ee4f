/// @file
/// The app home and the folders under it. The home is what the host set, else the environment
/// variable MARVISTO_HOME, else "$HOME/.marvisto". Safe from any thread; the folders are created
/// on first use.
#pragma once

#include <filesystem>

namespace platform {

/// The app home and its folders, process-wide.
class Paths {
 public:
  /// Sets the app home; an empty path goes back to the default. Set it before the first
  /// facade call: the kit keeps its downloaded locations and logs under it.
  static void setHome(const std::filesystem::path& home);
  static std::filesystem::path home();         ///< The app home.
  static std::filesystem::path documents();    ///< `home/Documents`: locations, logs, queue.
  static std::filesystem::path library();      ///< `home/Library`.
  static std::filesystem::path caches();       ///< `home/Library/Caches`.
  static std::filesystem::path preferences();  ///< `home/Library/Preferences`: the settings store.
  static std::filesystem::path tmp();          ///< `home/tmp`.
};

/// Writes `bytes` to `path` through a temporary file in the same folder and a rename, so a
/// crash leaves either the old or the new content; `mode` applies to the new file. False on
/// any failure (the old file is then untouched).
bool writeFileAtomically(const std::filesystem::path& path, const void* bytes, size_t size,
                         unsigned mode = 0644);

}  // namespace platform
