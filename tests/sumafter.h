#pragma once
// The line the child helper's "sumafter" mode writes once it has read these bytes: their count
// and their FNV-1a sum. Computed here on the test's side, not with the helper's own code, so that
// a fault there shows as a mismatch.

#include <cstddef>
#include <cstdio>
#include <string>

inline std::string sumafterLine(const char *data, std::size_t size)
{
    unsigned long long hash = 14695981039346656037ULL;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    char line[64];
    std::snprintf(line, sizeof line, "%zu %016llx\n", size, hash);
    return line;
}
