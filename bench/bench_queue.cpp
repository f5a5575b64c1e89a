/*
 * bench_queue.cpp - message queue throughput between two processes, side
 * by side with a pipe between the same two processes.
 *
 * One peer process is forked at the first benchmark and stays for all of
 * them.  For each run the parent tells it over a control pipe which
 * transport and message size to expect; the peer then takes messages until
 * one whose first byte is 1 and acknowledges it.  Both transports buffer
 * the same number of bytes (kBuffer): the queue's ring and the pipe's
 * capacity.  The peer reads a pipe message by message, as a receiver of
 * messages would.
 *
 * Each queue benchmark reports "vs_pipe": its bytes per second over those
 * of the pipe benchmark of the same message size (the pipe runs first).
 */
#include "kivipc.h"
#include "kivipcqueue.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const Uint32 kBuffer = 256 * 1024;
const Uint32 kMaxMessage = 64 * 1024;

enum Transport : Uint32 { kQueue = 1, kPipe = 2, kQuit = 3 };

struct Command {
    Uint32 transport;
    Uint32 size;
};

bool writeAll(int fd, const void* p, size_t n)
{
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        ssize_t w = write(fd, c, n);
        if (w <= 0)
            return false;
        c += w;
        n -= (size_t)w;
    }
    return true;
}

bool readAll(int fd, void* p, size_t n)
{
    char* c = static_cast<char*>(p);
    while (n > 0) {
        ssize_t r = read(fd, c, n);
        if (r <= 0)
            return false;
        c += r;
        n -= (size_t)r;
    }
    return true;
}

KIVIPCQueResID queueIds()
{
    char path[64];
    std::snprintf(path, sizeof path, "kivbench_queue_%d", (int)getpid());
    KIVIPCGetResIDParam d;
    d.path = path;
    d.id = 1;
    d.localOnly = true;
    KIVIPCQueResID ids;
    kivIPCGetQueResID(&d, &ids);
    return ids;
}

/* The forked peer: serves commands until told to quit. */
int servePeer(KIVIPCQueResID ids, int control, int data, int ack)
{
    KIVHIPCQueue q;
    if (q.attach(&ids) != 0)
        return 2;
    std::vector<Uint8> buf(kMaxMessage);
    Command c;
    while (readAll(control, &c, sizeof c) && c.transport != kQuit) {
        for (;;) {
            if (c.transport == kQueue) {
                Uint32 n = 0;
                if (q.get(buf.data(), kMaxMessage, &n, KIV_IPC_QUEUE_WAIT_FOREVER) != 0 ||
                    n != c.size)
                    return 3;
            } else if (!readAll(data, buf.data(), c.size)) {
                return 4;
            }
            if (buf[0] == 1)
                break;
        }
        char done = 1;
        if (!writeAll(ack, &done, 1))
            return 5;
    }
    q.detach();
    return 0;
}

class Peer {
public:
    static Peer& get()
    {
        static Peer peer;
        return peer;
    }

    bool ready() const { return pid_ > 0; }

    /* Announces a run, and afterwards ends it and waits until the peer has
     * taken every message. */
    void begin(Transport t, Uint32 size)
    {
        Command c{t, size};
        writeAll(control_, &c, sizeof c);
    }
    bool end()
    {
        char done = 0;
        return readAll(ack_, &done, 1) && done == 1;
    }

    KIVHIPCQueue queue;
    int dataOut = -1;

private:
    Peer()
    {
        KIVIPCQueResID ids = queueIds();
        KIVIPCQueueCreateParam p;
        p.queResID = ids;
        p.queueSize = kBuffer;
        if (queue.create(&p) != 0)
            return;
        int control[2], data[2], ack[2];
        if (pipe(control) != 0 || pipe(data) != 0 || pipe(ack) != 0)
            return;
        fcntl(data[1], F_SETPIPE_SZ, (int)kBuffer);
        pid_t pid = fork();
        if (pid == 0) {
            close(control[1]);
            close(data[1]);
            close(ack[0]);
            _exit(servePeer(ids, control[0], data[0], ack[1]));
        }
        close(control[0]);
        close(data[0]);
        close(ack[1]);
        control_ = control[1];
        dataOut = data[1];
        ack_ = ack[0];
        pid_ = pid;
    }
    ~Peer()
    {
        if (pid_ > 0) {
            Command quit{kQuit, 0};
            writeAll(control_, &quit, sizeof quit);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        queue.destroy();
    }

    pid_t pid_ = -1;
    int control_ = -1;
    int ack_ = -1;
};

std::map<Uint32, double> g_pipeRate;   // bytes per second by message size

/* Sends messages over `send` for the whole run; returns bytes per second,
 * or 0 after reporting an error. */
template <class Send> double run(benchmark::State& state, Transport t, Send send)
{
    Peer& peer = Peer::get();
    if (!peer.ready()) {
        state.SkipWithError("the peer process could not be started");
        return 0;
    }
    Uint32 size = (Uint32)state.range(0);
    std::vector<Uint8> msg(size, 0x5A);
    msg[0] = 0;
    peer.begin(t, size);
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (auto _ : state) {
        if (!send(msg.data(), size)) {
            ok = false;
            break;
        }
    }
    msg[0] = 1;
    ok = ok && send(msg.data(), size) && peer.end();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        state.SkipWithError("a message was lost");
        return 0;
    }
    state.SetBytesProcessed((int64_t)state.iterations() * size);
    return seconds > 0 ? double(state.iterations() + 1) * size / seconds : 0;
}

void BM_Pipe(benchmark::State& state)
{
    int fd = Peer::get().dataOut;
    double rate = run(state, kPipe, [fd](const Uint8* p, Uint32 n) { return writeAll(fd, p, n); });
    g_pipeRate[(Uint32)state.range(0)] = rate;
}
BENCHMARK(BM_Pipe)->Arg(64)->Arg(kMaxMessage)->UseRealTime();

void BM_Queue(benchmark::State& state)
{
    KIVHIPCQueue& q = Peer::get().queue;
    double rate = run(state, kQueue, [&q](const Uint8* p, Uint32 n) { return q.put(p, n) == 0; });
    double pipe = g_pipeRate[(Uint32)state.range(0)];
    if (pipe > 0)
        state.counters["vs_pipe"] = rate / pipe;
}
BENCHMARK(BM_Queue)->Arg(64)->Arg(kMaxMessage)->UseRealTime();

} // namespace
