/*
 * fuzz_common.h - what the fuzzing targets share: a check that stops the
 * run with a message when an invariant breaks, and a scratch file on a
 * memory file system for the APIs that read files.
 */
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

/* A broken invariant is a finding like a crash: libFuzzer keeps the input. */
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

/* One file per process, rewritten for every input.  On /dev/shm where there
 * is one, so that writing it costs a memory copy.  Its name is removed at
 * once and the file reached through /proc/self/fd: a crashing run leaves
 * nothing behind. */
class FuzzScratchFile {
public:
    explicit FuzzScratchFile(const char* stem)
    {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
        std::string name =
            std::string(dir ? dir : "/tmp") + "/" + stem + "." + std::to_string(getpid());
        fd_ = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        FUZZ_CHECK(fd_ >= 0);
        unlink(name.c_str());
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~FuzzScratchFile() { close(fd_); }

    /* The pieces, one after the other, make the whole file. */
    void rewrite(const void* const* pieces, const size_t* sizes, size_t count)
    {
        FUZZ_CHECK(ftruncate(fd_, 0) == 0);
        off_t at = 0;
        for (size_t i = 0; i < count; ++i) {
            if (sizes[i] == 0)
                continue;
            FUZZ_CHECK(pwrite(fd_, pieces[i], sizes[i], at) == (ssize_t)sizes[i]);
            at += (off_t)sizes[i];
        }
    }

    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
    int         fd_;
};

#endif /* FUZZ_COMMON_H */
