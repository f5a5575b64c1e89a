/*
 * peers_tp.c - instantiates the tracepoint provider of peers_tp.h (probes
 * and tracepoint definitions) for bench_peers.
 */
#define TRACEPOINT_CREATE_PROBES
#define TRACEPOINT_DEFINE
#include "peers_tp.h"
