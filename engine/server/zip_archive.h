// Access to a location's map archive (a ZIP file): a thin layer of free
// functions over libzip. Results are plain values (a handle, a count or -1);
// nothing is logged and nothing throws.
//
// Members are looked up by bare file name, so "config.xml" also finds a
// member stored inside a folder of the archive. Writes take effect when the
// archive is closed.
#pragma once

struct zip;  // libzip's archive handle

// Opens `path` for writing, creating it or emptying an existing archive.
// Null on failure.
zip* ZipCreate(const char* path);
// Opens an existing archive. Null on failure (missing, empty or not a zip).
zip* ZipOpen(const char* path);
// Writes pending changes and releases the handle. 0 on success; -1 when the
// changes cannot be written: the archive is then discarded (the handle is
// released all the same and must not be used again).
int ZipClose(zip* archive);

// Number of members, negative on error.
int ZipGetNumFiles(zip* archive);
// names[i] = i-th member name for i < min(count, maximum). 0, or -1 when the
// count or a name cannot be read. The names belong to the open archive and
// stay valid until it is closed.
int ZipGetFiles(zip* archive, const char** names, int maximum);

// Adds the file at `path` as the member named after the path's last
// component, replacing a member of that name. 0, or -1.
int ZipWriteFile(zip* archive, const char* path);
// Adds a copy of `length` bytes at `data` as member `name`, replacing a
// member of that name. 0, or -1.
int ZipWriteBuffer(zip* archive, const char* name, const void* data, int length);

// Uncompressed size of the member, or -1 when there is no such member.
int ZipGetFileSize(zip* archive, const char* name);
// Reads up to `length` bytes of the member into `buffer` (no terminating
// zero). The number of bytes read, or -1 when the member is missing or
// cannot be read.
int ZipReadFile(zip* archive, const char* name, void* buffer, int length);
// Marks the member for deletion. 1 when marked, 0 when there is no such
// member or it cannot be deleted.
int ZipDeleteFile(zip* archive, const char* name);
