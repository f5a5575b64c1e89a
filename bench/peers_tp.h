/*
 * peers_tp.h - the LTTng-UST tracepoint provider of bench_peers: the same
 * payloads as the library's entry record (thread id, function id, two
 * words) and data record (thread id, function id, one 64-byte block).
 */
#undef TRACEPOINT_PROVIDER
#define TRACEPOINT_PROVIDER kive_peers

#undef TRACEPOINT_INCLUDE
#define TRACEPOINT_INCLUDE "./peers_tp.h"

#if !defined(PEERS_TP_H) || defined(TRACEPOINT_HEADER_MULTI_READ)
#define PEERS_TP_H

#include <stdint.h>

#include <lttng/tracepoint.h>

TRACEPOINT_EVENT(kive_peers, entry,
    TP_ARGS(uint64_t, tid, uint32_t, fn, uint32_t, a, uint32_t, b),
    TP_FIELDS(
        ctf_integer(uint64_t, tid, tid)
        ctf_integer(uint32_t, fn, fn)
        ctf_integer(uint32_t, a, a)
        ctf_integer(uint32_t, b, b)))

TRACEPOINT_EVENT(kive_peers, data64,
    TP_ARGS(uint64_t, tid, uint32_t, fn, const uint8_t*, data),
    TP_FIELDS(
        ctf_integer(uint64_t, tid, tid)
        ctf_integer(uint32_t, fn, fn)
        ctf_array(uint8_t, data, data, 64)))

#endif /* PEERS_TP_H */

#include <lttng/tracepoint-event.h>
