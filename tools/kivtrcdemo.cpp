/*
 * kivtrcdemo - a small host program to trace: it writes and reads a file,
 * and makes three calls that fail on purpose (a missing file, a seek past
 * the end, missing shared memory), in its main thread and in a second one.
 *
 *   kivtrcdemo [-n NAME] [-l LOGFILE] [-d DIRECTORY] [-r ROUNDS]
 *
 * It is traced when KIV_TRACE_NAME names a trace (the library attaches at
 * load) or when -n names one (it attaches itself).  With -l its diagnostic
 * log goes to LOGFILE.  Each outcome is printed; the exit code is 0 when
 * every call ended as intended.
 */
#include "gtattach.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivipc.h"
#include "kivlog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

std::atomic<int> g_unexpected{0};

void report(const char* what, Uint32 rc, Uint32 expected)
{
    const char* name = rc != 0 ? ecfErrorGetCodeName(rc) : "OK";
    printf("kivtrcdemo: %-34s %s%s\n", what, name ? name : "?",
           rc == expected ? (rc != 0 ? " (as intended)" : "") : "  UNEXPECTED");
    if (rc != expected)
        ++g_unexpected;
}

Uint32 openFile(KIVHFile& f, const std::string& path, Uint32 openMode, Uint32 access)
{
    KIVFileOpenParam p;
    p.fileName = path.c_str();
    p.openMode = openMode;
    p.accessMode = access;
    return f.open(&p);
}

/* Write, read back, close: all succeed. */
void roundTrip(const std::string& path)
{
    KIVHFile f;
    report("create a file", openFile(f, path, KIV_FILE_CREATE_ALWAYS, KIV_FILE_READWRITE), 0);
    static const char text[] = "traced by kivtrc";
    KIVFileWriteParam w;
    w.buffer = text;
    w.byteCount = sizeof text;
    report("write to it", f.write(&w, nullptr), 0);
    KIVFileSeekParam s;
    report("seek to its start", f.seek(&s, nullptr), 0);
    char back[sizeof text] = {0};
    KIVFileReadParam r;
    r.byteCount = sizeof back;
    report("read it back", f.read(&r, back, nullptr), 0);
    report("close it", f.close(), 0);
}

/* The calls that fail on purpose. */
void failures(const std::string& directory, const std::string& existing)
{
    KIVHFile missing;
    report("open a file that is not there",
           openFile(missing, directory + "/kivtrcdemo-no-such-file", KIV_FILE_OPEN_EXISTING,
                    KIV_FILE_READ),
           ECF_FILE_DOESNT_EXIST);

    KIVHFile f;
    if (openFile(f, existing, KIV_FILE_OPEN_EXISTING, KIV_FILE_READ) == 0) {
        KIVFileSeekParam s;
        s.offset = 1000000;
        report("seek past the end of a file", f.seek(&s, nullptr), ECF_FILE_SEEK_BEYOND_EOF);
        f.close();
    }

    KIVIPCResID id;
    snprintf(id.name, sizeof id.name, "kivtrcdemo.no-such-memory");
    KIVHIPCMemory memory;
    report("attach memory that is not there", memory.attach(&id, nullptr), ECF_MEM_DOESNT_EXIST);
}

void work(const std::string& directory, const std::string& file, int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        roundTrip(file);
        failures(directory, file);
    }
    remove(file.c_str());
}

Uint32 openLog(const char* path)
{
    KIVLogFacParam p;
    snprintf(p.fileName, sizeof p.fileName, "%s", path);
    snprintf(p.name, sizeof p.name, "kivtrcdemo");
    p.level = KIVLOG_INFO;
    p.destination = KIVLOG_DEST_FILE;
    p.permissions = 0644;
    return kivLogFacOpen(&p, nullptr);
}

int usage()
{
    fprintf(stderr, "usage: kivtrcdemo [-n NAME] [-l LOGFILE] [-d DIRECTORY] [-r ROUNDS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const char* name = nullptr;
    const char* log = nullptr;
    std::string directory = ".";
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        if (a == "-n")
            name = argv[++i];
        else if (a == "-l")
            log = argv[++i];
        else if (a == "-d")
            directory = argv[++i];
        else if (a == "-r")
            rounds = atoi(argv[++i]);
        else
            return usage();
    }
    if (name != nullptr) {
        Uint32 rc = gtraceAttachNamed(name);
        if (rc != 0)
            fprintf(stderr, "kivtrcdemo: not traced: trace \"%s\": %s\n", name,
                    ecfErrorGetDescription(rc) ? ecfErrorGetDescription(rc) : "error");
    }
    if (log != nullptr && openLog(log) != 0)
        fprintf(stderr, "kivtrcdemo: cannot open the log file %s\n", log);

    std::thread second(work, directory, directory + "/kivtrcdemo-2.tmp", rounds);
    work(directory, directory + "/kivtrcdemo-1.tmp", rounds);
    second.join();

    if (log != nullptr)
        kivLogFacClose(nullptr);
    printf("kivtrcdemo: %s\n", g_unexpected == 0 ? "every call ended as intended"
                                                  : "some calls did not end as intended");
    return g_unexpected == 0 ? 0 : 1;
}
