/*
 * kivtest.h - helpers shared by the test programs: child processes that run
 * a named function of the same test program, shared memory between them,
 * and scratch directories.
 */
#ifndef KIVTEST_H
#define KIVTEST_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

/* A child entry point: runs in a new process of the same program, started by
 * kivtestSpawnChild; its result is the process exit code. */
typedef int (*KivTestChildFn)(const std::vector<std::string>& args);

struct KivTestChildRegistrar {
    KivTestChildRegistrar(const char* name, KivTestChildFn fn);
};

#define KIVTEST_CHILD(name)                                                    \
    static int kivtestChild_##name(const std::vector<std::string>& args);      \
    static KivTestChildRegistrar kivtestChildReg_##name(#name,                 \
                                                        kivtestChild_##name);  \
    static int kivtestChild_##name(const std::vector<std::string>& args)

/* A started child process. */
struct KivTestProcess {
    void* handle = nullptr; /* process handle (Windows) */
    long pid = -1;
};

/* Start this program again running the child `name` with `args`. */
KivTestProcess kivtestSpawnChild(const std::string& name,
                                 const std::vector<std::string>& args = {});
/* Wait for a child and return its exit code (-1 when it did not exit normally). */
int kivtestWaitChild(KivTestProcess& p);
/* Spawn and wait. */
int kivtestRunChild(const std::string& name, const std::vector<std::string>& args = {});

/* Named shared memory visible to child processes.  Returns the mapped
 * address, or null; `create` makes (and zeroes) it, otherwise it is opened. */
void* kivtestShmOpen(const std::string& name, size_t size, bool create);
void  kivtestShmClose(void* addr, size_t size);
void  kivtestShmUnlink(const std::string& name);
/* A name unique to this process and call, usable for shared objects. */
std::string kivtestUniqueName(const char* stem);

/* A fresh empty directory under the system's temporary directory, removed
 * with everything in it when the object goes. */
class KivTestTempDir {
public:
    KivTestTempDir();
    ~KivTestTempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;
private:
    std::string path_;
};

std::string kivtestReadFile(const std::string& path);

/* Sets (or, for null, removes) an environment variable for this process,
 * where both the system and the C run-time library read it. */
void kivtestSetEnv(const char* name, const char* value);

/* Polls `cond` for up to a minute: for states another thread or process
 * reaches by blocking, which nothing signals. */
template <class C> bool kivtestEventually(C cond)
{
    for (int i = 0; i < 60000; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

/* Deterministic contents, the same in every process: a mixed word of
 * `seed`, and `n` bytes made from the seed. */
uint64_t kivtestMix(uint64_t seed);
void     kivtestFillBytes(unsigned char* p, size_t n, uint64_t seed);

/* True when running under Wine (the Windows test build on Linux). */
bool kivtestUnderWine();

#endif /* KIVTEST_H */
