// Checks a program makes before its work starts, so that a file it cannot
// write is reported at once rather than after a long run, with the system's
// reason ("Permission denied", "Not a directory", "Read-only file system").
// They try the real thing (opening, creating a file) rather than guessing
// from permission bits, which say nothing for root or a read-only mount.
#pragma once

#include <string>

namespace cli {

// Whether `path` can be written as a file: an existing file is opened for
// writing and left unchanged; a new one is created and removed again.
// Empty when it can, else the reason.
std::string FileWritable(const std::string& path);

// Whether files can be created in the folder `path` (which must exist).
// Empty when they can, else the reason.
std::string FolderWritable(const std::string& path);

// Makes the folder `path` with its parents when missing, then checks it as
// FolderWritable does. Empty on success, else the reason.
std::string MakeWritableFolder(const std::string& path);

// Whether `path` is a file that can be read. Empty when it is, else the reason.
std::string FileReadable(const std::string& path);

// The system's text for an errno value, thread-safely.
std::string Reason(int code);

}  // namespace cli
