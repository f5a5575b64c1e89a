/*
 * kivcompat_dir.cpp - Windows directory services on POSIX: searches with
 * wildcards, directories, moves, copies and links, the current directory,
 * path names, the drive map, file information by handle, and the C
 * runtime's _stat64 and _chmod.  The Windows behaviour kept is described in
 * kivcompat_dir.h.
 */
#include "kivcompat_dir.h"
#include "kivcompat_file.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <memory>
#include <mutex>
#include <new>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using namespace kivcompat;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Runs `body` (which returns a Windows error, 0 for success) and turns an
// exhausted heap into the error Windows gives for it.
template <class F> BOOL guarded(F body)
{
    DWORD err;
    try {
        err = body();
    } catch (const std::bad_alloc&) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    }
    return err ? fail(err) : TRUE;
}

// The same for a call on one name, mapped before `body` runs.
template <class F> BOOL guardedPath(LPCSTR name, F body)
{
    return guarded([&]() -> DWORD {
        std::string p;
        if (DWORD err = compatPath(name, &p))
            return err;
        return body(p);
    });
}

// The same for a call on two names: both are mapped before `body` runs.
template <class F> BOOL guardedTwoPaths(LPCSTR first, LPCSTR second, F body)
{
    return guarded([&]() -> DWORD {
        std::string a, b;
        if (DWORD err = compatPath(first, &a))
            return err;
        if (DWORD err = compatPath(second, &b))
            return err;
        return body(a, b);
    });
}

// ---- Paths ------------------------------------------------------------------

// A path without its trailing slashes (the root stays "/").  lstat on
// "link/" would follow the link; Windows names the link itself.
std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool statOf(const std::string& path, struct stat* st) { return stat(path.c_str(), st) == 0; }

bool isDirectory(const std::string& path)
{
    struct stat st;
    return statOf(path, &st) && S_ISDIR(st.st_mode);
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A regular file without the owner-write bit carries the read-only
// attribute, which Windows enforces for every user.
bool readOnly(const struct stat& st) { return !(st.st_mode & S_IWUSR); }

// ---- Times and attributes ---------------------------------------------------

// 100-nanosecond intervals since 1601-01-01; times before it are 0.
FILETIME fileTime(const struct timespec& ts)
{
    const int64_t kEpochDifference = 11644473600LL; // 1601 to 1970, seconds
    FILETIME ft = {0, 0};
    int64_t seconds = static_cast<int64_t>(ts.tv_sec) + kEpochDifference;
    if (seconds < 0)
        return ft;
    uint64_t t = static_cast<uint64_t>(seconds) * 10000000u +
                 static_cast<uint64_t>(ts.tv_nsec) / 100u;
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

// The attributes GetFileAttributesA gives for a status.
DWORD attributesOf(const struct stat& st)
{
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (readOnly(st))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// ---- Wildcards --------------------------------------------------------------

// A search pattern as Windows hands it to the file system: "?" becomes a
// DOS question mark (one character, or none before a dot or the end of the
// name), "*" before a dot a DOS star (never past the name's last dot), and
// a dot before a wildcard or at the end a DOS dot (a dot, or nothing at the
// end of the name).  "*.*" is "*".
enum Token : int { kStar = -1, kDosStar = -2, kDosQm = -3, kDosDot = -4 };

std::vector<int> translatePattern(const std::string& pattern)
{
    std::vector<int> tokens;
    if (pattern == "*.*") {
        tokens.push_back(kStar);
        return tokens;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (c == '?')
            tokens.push_back(kDosQm);
        else if (c == '*')
            tokens.push_back(next == '.' ? kDosStar : kStar);
        else if (c == '.' && (next == '\0' || next == '?' || next == '*'))
            tokens.push_back(kDosDot);
        else
            tokens.push_back(static_cast<unsigned char>(c));
    }
    return tokens;
}

bool hasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// Whether `name` matches the tokens, without regard to letter case.  One
// pass per token over the set of name positions reached so far, so no
// pattern can make it take more than tokens x name length steps.
bool matches(const std::vector<int>& tokens, const std::string& name)
{
    const size_t n = name.size();
    const size_t lastDot = name.rfind('.');
    std::vector<char> reach(n + 1, 0), next(n + 1, 0);
    reach[0] = 1;
    for (int t : tokens) {
        std::fill(next.begin(), next.end(), 0);
        bool any = false;
        for (size_t i = 0; i <= n; ++i) {
            if (!reach[i])
                continue;
            any = true;
            bool atDotOrEnd = i == n || name[i] == '.';
            switch (t) {
            case kStar:
                for (size_t k = i; k <= n; ++k)
                    next[k] = 1;
                break;
            case kDosStar: {
                size_t limit = (lastDot != std::string::npos && lastDot >= i) ? lastDot : n;
                for (size_t k = i; k <= limit; ++k)
                    next[k] = 1;
                break;
            }
            case kDosQm:
                next[atDotOrEnd ? i : i + 1] = 1;
                break;
            case kDosDot:
                if (i == n)
                    next[i] = 1;
                else if (name[i] == '.')
                    next[i + 1] = 1;
                break;
            default:
                if (i < n && upper(static_cast<unsigned char>(name[i])) ==
                                 upper(static_cast<unsigned char>(t)))
                    next[i + 1] = 1;
                break;
            }
        }
        if (!any)
            return false;
        reach.swap(next);
    }
    return reach[n] != 0;
}

// "." and ".." first, then the order of a case-insensitive comparison.
bool searchOrder(const std::string& a, const std::string& b)
{
    auto rank = [](const std::string& s) { return s == "." ? 0 : s == ".." ? 1 : 2; };
    if (rank(a) != rank(b))
        return rank(a) < rank(b);
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = upper(static_cast<unsigned char>(a[i]));
        unsigned char y = upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// ---- Searches -----------------------------------------------------------------

// One search: the names found by FindFirstFileA, handed out in order.
struct Search {
    std::mutex               mutex;
    std::string              directory;
    std::vector<std::string> names;
    size_t                   next = 0;
};

struct SearchTable {
    std::mutex                                         mutex;
    std::unordered_map<void*, std::shared_ptr<Search>> live;
};

// Never destroyed, like the kernel handle table: searches may be closed
// from static destructors.
SearchTable& searches()
{
    static SearchTable* t = new SearchTable;
    return *t;
}

std::shared_ptr<Search> searchLookup(HANDLE h)
{
    SearchTable& t = searches();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.live.find(h);
    if (it == t.live.end())
        return nullptr;
    return it->second;
}

// Fills `data` for the entry; false when it is gone.
bool describe(const std::string& directory, const std::string& name, WIN32_FIND_DATAA* data)
{
    std::string full = directory == "/" ? "/" + name : directory + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0)
        return false;
    DWORD attributes;
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        bool toDirectory = statOf(full, &target) && S_ISDIR(target.st_mode);
        attributes = FILE_ATTRIBUTE_REPARSE_POINT | (toDirectory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    } else {
        attributes = attributesOf(st);
    }
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = attributes;
    data->ftCreationTime = fileTime(st.st_ctim);
    data->ftLastAccessTime = fileTime(st.st_atim);
    data->ftLastWriteTime = fileTime(st.st_mtim);
    uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    size_t len = std::min(name.size(), sizeof data->cFileName - 1);
    memcpy(data->cFileName, name.data(), len);
    data->cFileName[len] = '\0';
    return true;
}

// Hands out the next entry still there; ERROR_NO_MORE_FILES at the end.
DWORD searchNext(Search& s, WIN32_FIND_DATAA* data)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    while (s.next < s.names.size()) {
        if (describe(s.directory, s.names[s.next++], data))
            return 0;
    }
    return ERROR_NO_MORE_FILES;
}

// Why a directory to search cannot be read.
DWORD directoryError(int err, const std::string& directory)
{
    if (err == ENOENT)
        return ERROR_PATH_NOT_FOUND;
    if (err == ENOTDIR) {
        struct stat st;
        // The directory itself is a file; further up the path, a file is a
        // missing path.
        return statOf(directory, &st) && !S_ISDIR(st.st_mode) ? ERROR_DIRECTORY
                                                               : ERROR_PATH_NOT_FOUND;
    }
    return kivCompatErrnoToWin32(err);
}

// The names of `directory` that match `pattern`.
DWORD listMatching(const std::string& directory, const std::string& pattern,
                   std::vector<std::string>* names)
{
    DIR* d = opendir(directory.c_str());
    if (!d)
        return directoryError(errno, directory);
    std::vector<int> tokens = translatePattern(pattern);
    bool root = directory == "/";
    try {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            // The root of a Windows drive has no "." and "..".
            if (root && (name == "." || name == ".."))
                continue;
            if (matches(tokens, name))
                names->push_back(name);
        }
    } catch (...) {
        closedir(d);
        throw;
    }
    closedir(d);
    std::sort(names->begin(), names->end(), searchOrder);
    return names->empty() ? ERROR_FILE_NOT_FOUND : 0;
}

// Splits a search pattern into the directory and the last component and
// collects the names found.
DWORD searchStart(LPCSTR pattern, Search* s)
{
    std::string path;
    if (DWORD err = compatPath(pattern, &path))
        return err;
    // A pattern ending in a separator names no entry.
    if (path.size() > 1 && path.back() == '/')
        return ERROR_FILE_NOT_FOUND;
    size_t slash = path.rfind('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash == std::string::npos)
        s->directory = ".";
    else
        s->directory = slash == 0 ? "/" : path.substr(0, slash);
    if (last.empty()) // the root itself
        return ERROR_FILE_NOT_FOUND;
    if (hasWildcard(last))
        return listMatching(s->directory, last, &s->names);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return compatPathError(errno, path);
    s->names.push_back(last);
    return 0;
}

// ---- Copies ---------------------------------------------------------------------

// Writes all of `n` bytes; 0 or the errno.
int writeAll(int fd, const char* p, size_t n)
{
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// Copies the contents of `in` to `out`; 0 or the errno.
int copyContents(int in, int out)
{
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        ssize_t r = read(in, buffer.data(), buffer.size());
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (r == 0)
            return 0;
        if (int err = writeAll(out, buffer.data(), static_cast<size_t>(r)))
            return err;
    }
}

// Whether an existing target may be replaced by a copy or a move.
DWORD replaceable(const struct stat& target, const struct stat& source)
{
    if (sameFile(target, source))
        return ERROR_SHARING_VIOLATION;
    if (S_ISDIR(target.st_mode) || S_ISDIR(source.st_mode))
        return ERROR_ACCESS_DENIED;
    if (S_ISREG(target.st_mode) && readOnly(target))
        return ERROR_ACCESS_DENIED;
    return 0;
}

// CopyFileA on converted paths.
DWORD copyFile(const std::string& from, const std::string& to, bool failIfExists)
{
    // Not blocking on a pipe or device: only regular files are copied.
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (in < 0)
        return compatPathError(errno, from);
    struct stat src;
    if (fstat(in, &src) != 0 || !S_ISREG(src.st_mode)) {
        close(in);
        return ERROR_ACCESS_DENIED;
    }
    struct stat dst;
    if (lstat(to.c_str(), &dst) == 0) {
        DWORD err = failIfExists ? ERROR_FILE_EXISTS : replaceable(dst, src);
        if (err) {
            close(in);
            return err;
        }
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (failIfExists ? O_EXCL : O_TRUNC);
    int out = open(to.c_str(), flags, 0600);
    if (out < 0) {
        int err = errno;
        close(in);
        return err == EEXIST ? ERROR_FILE_EXISTS : compatPathError(err, to);
    }
    int err = copyContents(in, out);
    if (!err && fchmod(out, src.st_mode & 07777) != 0)
        err = errno;
    struct timespec times[2] = {src.st_atim, src.st_mtim};
    if (!err && futimens(out, times) != 0)
        err = errno;
    if (close(out) != 0 && !err)
        err = errno;
    close(in);
    if (err) {
        // Windows leaves no half-written copy behind.
        unlink(to.c_str());
        return kivCompatErrnoToWin32(err);
    }
    return 0;
}

DWORD moveFile(const std::string& from, const std::string& to, DWORD flags)
{
    struct stat src;
    if (lstat(from.c_str(), &src) != 0)
        return compatPathError(errno, from);
    struct stat dst;
    if (lstat(to.c_str(), &dst) == 0 && !sameFile(dst, src)) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING))
            return ERROR_ALREADY_EXISTS;
        if (DWORD err = replaceable(dst, src))
            return err;
    }
    if (rename(from.c_str(), to.c_str()) == 0)
        return 0;
    switch (errno) {
    case EXDEV:
        // Files move between file systems by copy and delete when allowed;
        // directories never do.
        if (S_ISDIR(src.st_mode) || !(flags & MOVEFILE_COPY_ALLOWED))
            return ERROR_NOT_SAME_DEVICE;
        if (DWORD err = copyFile(from, to, !(flags & MOVEFILE_REPLACE_EXISTING)))
            return err;
        if (unlink(from.c_str()) != 0) {
            int e = errno;
            unlink(to.c_str());
            return kivCompatErrnoToWin32(e);
        }
        return 0;
    case EINVAL:
        // A directory moved below itself.
        return ERROR_SHARING_VIOLATION;
    case ENOTEMPTY:
    case EEXIST:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    default:
        return compatPathError(errno, to);
    }
}

// ---- The C runtime's errno --------------------------------------------------------

// The errno the Windows C runtime sets for a failed status or mode call:
// every name that cannot be found is ENOENT.
int runtimeErrno(int err)
{
    switch (err) {
    case EACCES:
    case EPERM:
        return EACCES;
    case ENOMEM:
        return ENOMEM;
    default:
        return ENOENT;
    }
}

int runtimeFail(int err, DWORD windowsError)
{
    SetLastError(windowsError);
    errno = runtimeErrno(err);
    return -1;
}

} // namespace

extern "C" {

// ---- Searches -------------------------------------------------------------------

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data)
{
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    try {
        std::shared_ptr<Search> s = std::make_shared<Search>();
        DWORD err = searchStart(pattern, s.get());
        if (!err)
            err = searchNext(*s, data);
        // Every match vanished before it could be described.
        if (err == ERROR_NO_MORE_FILES)
            err = ERROR_FILE_NOT_FOUND;
        if (err) {
            SetLastError(err);
            return INVALID_HANDLE_VALUE;
        }
        SearchTable& t = searches();
        std::lock_guard<std::mutex> lock(t.mutex);
        t.live.emplace(s.get(), s);
        return static_cast<HANDLE>(s.get());
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data)
{
    std::shared_ptr<Search> s = searchLookup(search);
    if (!s)
        return fail(ERROR_INVALID_HANDLE);
    if (!data)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD err = searchNext(*s, data);
    return err ? fail(err) : TRUE;
}

BOOL FindClose(HANDLE search)
{
    std::shared_ptr<Search> s;
    SearchTable& t = searches();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.live.find(search);
        if (it == t.live.end())
            return fail(ERROR_INVALID_HANDLE);
        s = std::move(it->second);
        t.live.erase(it);
    }
    return TRUE; // the search goes with the last call still using it
}

// ---- Directories ----------------------------------------------------------------

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    return guardedPath(path, [&](std::string& p) -> DWORD {
        if (mkdir(p.c_str(), 0777) == 0)
            return 0;
        switch (errno) {
        case EEXIST:  return ERROR_ALREADY_EXISTS;
        case ENOENT:
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        default:      return kivCompatErrnoToWin32(errno);
        }
    });
}

BOOL RemoveDirectoryA(LPCSTR path)
{
    return guardedPath(path, [&](std::string& p) -> DWORD {
        p = withoutTrailingSlash(p);
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            return compatPathError(errno, p);
        if (S_ISLNK(st.st_mode)) {
            // A link to a directory goes itself; the directory stays.
            if (!isDirectory(p))
                return ERROR_DIRECTORY;
            return unlink(p.c_str()) == 0 ? 0 : kivCompatErrnoToWin32(errno);
        }
        if (!S_ISDIR(st.st_mode))
            return ERROR_DIRECTORY;
        if (readOnly(st))
            return ERROR_ACCESS_DENIED;
        if (rmdir(p.c_str()) == 0)
            return 0;
        if (errno == ENOTEMPTY || errno == EEXIST)
            return ERROR_DIR_NOT_EMPTY;
        return compatPathError(errno, p);
    });
}

// ---- Moves, copies, links, attributes ---------------------------------------------

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags)
{
    return guardedTwoPaths(existing, target, [&](const std::string& from,
                                                 const std::string& to) -> DWORD {
        return moveFile(withoutTrailingSlash(from), withoutTrailingSlash(to), flags);
    });
}

BOOL MoveFileA(LPCSTR existing, LPCSTR target)
{
    return MoveFileExA(existing, target, MOVEFILE_COPY_ALLOWED);
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists)
{
    return guardedTwoPaths(existing, target, [&](const std::string& from,
                                                 const std::string& to) -> DWORD {
        return copyFile(from, to, failIfExists != FALSE);
    });
}

BOOL CreateHardLinkA(LPCSTR link, LPCSTR existing, LPSECURITY_ATTRIBUTES)
{
    return guardedTwoPaths(link, existing, [](const std::string& to,
                                              const std::string& from) -> DWORD {
        struct stat st;
        if (lstat(from.c_str(), &st) != 0)
            return compatPathError(errno, from);
        if (S_ISDIR(st.st_mode))
            return ERROR_ACCESS_DENIED;
        if (::link(from.c_str(), to.c_str()) == 0)
            return 0;
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : compatPathError(errno, to);
    });
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes)
{
    return guardedPath(path, [&](std::string& p) -> DWORD {
        struct stat st;
        if (!statOf(p, &st))
            return compatPathError(errno, p);
        // Only the read-only attribute has a place in the permission bits.
        mode_t mode = st.st_mode & 07777;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
        else
            mode |= S_IWUSR;
        return chmod(p.c_str(), mode) == 0 ? 0 : compatPathError(errno, p);
    });
}

// ---- Current directory and path names ----------------------------------------------

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
        kivCompatSetLastErrorFromErrno(errno);
        return 0;
    }
    DWORD len = static_cast<DWORD>(strlen(cwd));
    if (!buffer || size <= len)
        return len + 1;
    memcpy(buffer, cwd, len + 1);
    return len;
}

BOOL SetCurrentDirectoryA(LPCSTR path)
{
    return guardedPath(path, [&](std::string& p) -> DWORD {
        struct stat st;
        if (!statOf(p, &st))
            return compatPathError(errno, p);
        if (!S_ISDIR(st.st_mode))
            return ERROR_DIRECTORY;
        return chdir(p.c_str()) == 0 ? 0 : compatPathError(errno, p);
    });
}

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart)
{
    try {
        std::string p;
        if (DWORD err = compatPath(name, &p)) {
            SetLastError(err);
            return 0;
        }
        if (p[0] != '/') {
            char cwd[PATH_MAX];
            if (!getcwd(cwd, sizeof cwd)) {
                kivCompatSetLastErrorFromErrno(errno);
                return 0;
            }
            p = std::string(cwd) + "/" + p;
        }
        // "." and ".." are resolved by name, as Windows does: no link is
        // followed and nothing needs to exist.
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= p.size()) {
            size_t end = p.find('/', start);
            if (end == std::string::npos)
                end = p.size();
            std::string part = p.substr(start, end - start);
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            start = end + 1;
        }
        std::string full;
        for (const std::string& part : parts)
            full += "/" + part;
        bool endsInSeparator = p.back() == '/' || full.empty();
        if (endsInSeparator)
            full += "/";
        DWORD len = static_cast<DWORD>(full.size());
        if (!buffer || size <= len)
            return len + 1;
        memcpy(buffer, full.c_str(), len + 1);
        if (filePart)
            *filePart = endsInSeparator ? nullptr : buffer + full.rfind('/') + 1;
        return len;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size)
{
    try {
        std::string p;
        if (DWORD err = compatPath(longPath, &p)) {
            SetLastError(err);
            return 0;
        }
        struct stat st;
        if (!statOf(p, &st)) {
            SetLastError(compatPathError(errno, p));
            return 0;
        }
        // No name has a short form here: the path is its own short form.
        DWORD len = static_cast<DWORD>(strlen(longPath));
        if (!shortPath || size <= len)
            return len + 1;
        memmove(shortPath, longPath, len + 1);
        return len;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

// ---- Drives -------------------------------------------------------------------------

DWORD GetLogicalDrives(void)
{
    return 1u << ('C' - 'A');
}

DWORD GetLogicalDriveStringsA(DWORD size, LPSTR buffer)
{
    static const char kRoots[] = "/\0"; // one root, then the closing NUL
    const DWORD needed = sizeof kRoots;  // 3 bytes
    if (!buffer || size < needed)
        return needed;
    memcpy(buffer, kRoots, needed);
    return needed - 1;
}

// ---- File information -------------------------------------------------------------------

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    if (!info)
        return fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(f->fd(), &st) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    memset(info, 0, sizeof *info);
    info->dwFileAttributes = attributesOf(st);
    info->ftCreationTime = fileTime(st.st_ctim);
    info->ftLastAccessTime = fileTime(st.st_atim);
    info->ftLastWriteTime = fileTime(st.st_mtim);
    info->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    info->nFileSizeLow = static_cast<DWORD>(size);
    info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    uint64_t index = static_cast<uint64_t>(st.st_ino);
    info->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    info->nFileIndexLow = static_cast<DWORD>(index);
    return TRUE;
}

// ---- C runtime ---------------------------------------------------------------------------

int _stat64(const char* path, struct _stat64* status)
{
    if (!path || !status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return -1;
    }
    std::string p;
    if (DWORD err = compatPath(path, &p))
        return runtimeFail(ENOENT, err);
    struct stat st;
    if (!statOf(p, &st)) {
        int err = errno;
        return runtimeFail(err, compatPathError(err, p));
    }
    memset(status, 0, sizeof *status);
    status->st_dev = static_cast<unsigned int>(st.st_dev);
    status->st_ino = static_cast<uint64_t>(st.st_ino);
    status->st_mode = static_cast<unsigned short>(st.st_mode);
    status->st_nlink = static_cast<short>(st.st_nlink);
    status->st_uid = static_cast<unsigned int>(st.st_uid);
    status->st_gid = static_cast<unsigned int>(st.st_gid);
    status->st_rdev = static_cast<unsigned int>(st.st_rdev);
    status->st_size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    status->st_atime = st.st_atim.tv_sec;
    status->st_mtime = st.st_mtim.tv_sec;
    status->st_ctime = st.st_ctim.tv_sec;
    return 0;
}

int _chmod(const char* path, int mode)
{
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        errno = EINVAL;
        return -1;
    }
    std::string p;
    if (DWORD err = compatPath(path, &p))
        return runtimeFail(ENOENT, err);
    if (chmod(p.c_str(), static_cast<mode_t>(mode) & 07777) != 0) {
        int err = errno;
        return runtimeFail(err, compatPathError(err, p));
    }
    return 0;
}

} // extern "C"
