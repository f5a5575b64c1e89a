/*
 * kivlogfmt.h - the text of one diagnostic log record, shared by the log
 * writer (kivlog.cpp) and its formatter (kivlogfmt.cpp).
 */
#ifndef KIVLOGFMT_H
#define KIVLOGFMT_H

#include <stdarg.h>

#include "kivbase.h"

/* The record buffer: at most 4095 characters and the terminator. */
#define KIVLOG_RECORD_SIZE 4096u
/* Where the file writer stamps the position field: one blank after the
 * zone, inside the zone's 23-column padding. */
#define KIVLOG_POSITION_OFFSET 33u
#define KIVLOG_POSITION_WIDTH  17u

/* Everything a log call hands the writer. */
struct KIVLogCall {
    Uint32   functionId;
    Uint32   calledFunctionId;
    Uint32   calledValue;
    Uint32   messageCode;
    Uint32   probe;
    Uint32   level;
    Uint32   flags;
    Sint32   itemCount;
    va_list* items; /* null when itemCount is 0; consumed by the formatter */
};

/* Formats the record into `record` (KIVLOG_RECORD_SIZE bytes, zero-filled
 * by the caller): CR LF, the header, the data items.  Returns its length. */
KIV_LOCAL Uint32 kivLogFormatRecord(char* record, const KIVLogCall& call);

#endif /* KIVLOGFMT_H */
