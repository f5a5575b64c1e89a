/*
 * kivpathtest.h - what the path and listing tests share: reading the log
 * records they capture, and small file helpers that work the same on both
 * platforms (paths joined with the system's separator).
 */
#ifndef KIVPATHTEST_H
#define KIVPATHTEST_H

#include "kivlog.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kivpathtest {

/* ---- log records ------------------------------------------------------------- */

/* Whether one of the record's String items is `text`. */
inline bool hasString(const KivLogRecord& r, const std::string& text)
{
    for (const auto& item : r.items)
        if (item.type == KIVLOG_TYPE_STRING && item.bytes == text)
            return true;
    return false;
}

/* The record's items that are not strings, as unsigned numbers. */
inline std::vector<Uint64> numbers(const KivLogRecord& r)
{
    std::vector<Uint64> out;
    for (const auto& item : r.items)
        if (item.type != KIVLOG_TYPE_STRING)
            out.push_back(item.asUint());
    return out;
}

/* ---- files -------------------------------------------------------------------- */

inline std::string join(const std::string& dir, const std::string& name)
{
    return dir + KIV_PATH_SEPARATOR + name;
}

inline void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

inline bool makeDir(const std::string& path)
{
    return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

inline void setReadOnly(const std::string& path, bool readOnly)
{
    SetFileAttributesA(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

inline bool isReadOnly(const std::string& path)
{
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

inline bool pathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* Bytes that differ from file to file and from offset to offset. */
inline std::string patternBytes(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    Uint32 x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

/* A name of `length` characters. */
inline std::string longName(size_t length, char fill = 'n')
{
    return std::string(length, fill);
}

} // namespace kivpathtest

#endif /* KIVPATHTEST_H */
