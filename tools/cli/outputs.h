// Checks a program makes before its work starts, so that a file it cannot
// write is reported at once rather than after a long run, with the system's
// reason ("Permission denied", "Not a directory", "Read-only file system").
// They try the real thing (opening, creating a file) rather than guessing
// from permission bits, which say nothing for root or a read-only mount.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// What every program does first (Parser::handle does it): a write past the
// file size limit fails with its reason instead of ending the process, and
// stdout that could not be written whole ends the program with exit code 1
// and the reason.
void StartProgram();

// Whether WriteWholeFile(path) can work, found the way it will write: an
// existing file must be writable and its folder take the new file made beside
// it (a new file's name too is tried); a device is opened and closed, a named
// pipe only checked for permission, as opening it would end a waiting
// reader's input; this process's own descriptors must be open for writing.
// Leaves nothing behind. Empty when it can, else the reason.
std::string FileWritable(const std::string& path);

// Whether files can be created in the folder `path` (which must exist).
// Empty when they can, else the reason.
std::string FolderWritable(const std::string& path);

// Makes the folder `path` with its parents when missing, then checks it as
// FolderWritable does. Empty on success, else the reason.
std::string MakeWritableFolder(const std::string& path);

// Whether `path` is a file that can be read. Empty when it is, else the reason.
std::string FileReadable(const std::string& path);

// Writes `bytes` to `path` whole or not at all: into a new file beside it (a
// short hidden name, whatever the length of the path's) that takes the name
// only once every byte is in, so a full disk leaves neither a cut file nor an
// empty one behind, and a file already there stays as it was until it is
// replaced (keeping its permissions). A link keeps its place: the file it names
// is the one replaced. A path that is no regular file (a terminal, a pipe,
// /dev/null) is written in place; a pipe waits for its reader. This process's
// own descriptors (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N and
// links to them) are written into as they are, so `>> app.txt` appends.
// Empty on success, else the system's reason.
std::string WriteWholeFile(const std::string& path, std::string_view bytes);

// Appends printf-style text to `out`, however long it comes out.
void Appendf(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The system's text for an errno value, thread-safely.
std::string Reason(int code);

}  // namespace cli
