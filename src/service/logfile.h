#pragma once
// File operations of the daemon's log, as one small platform layer. Paths are UTF-8.
// Nothing here follows a symbolic link at the last component of a path: a link where the
// log file should be is refused, never written through.

#include <cstdint>
#include <string>

namespace logfile {

// Appends bytes to the file, creating it when absent. Line feeds become the platform's
// line end. Returns false when the file could not be opened or written.
bool append(const std::string &path, const std::string &bytes);

// Size in bytes of a regular file, or -1 when there is none at that path.
std::int64_t size(const std::string &path);

// True when something (file, link, folder) exists at the path itself.
bool exists(const std::string &path);

bool remove(const std::string &path);

// Replaces `to` by `from`.
bool rename(const std::string &from, const std::string &to);

// Creates the folder and its missing parents.
bool makePath(const std::string &dir);

} // namespace logfile
