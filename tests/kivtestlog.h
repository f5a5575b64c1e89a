/*
 * kivtestlog.h - captures the diagnostic log records an operation writes,
 * through the log callback, so that tests can check codes, probes and items.
 */
#ifndef KIVTESTLOG_H
#define KIVTESTLOG_H

#include <string>
#include <vector>

#include "kivlog.h"

struct KivLogItem {
    Sint32      type = 0;
    Uint32      size = 0;
    bool        null = false;
    std::string bytes; /* the value (strings: the text up to its NUL; at most 512 bytes) */

    Uint64      asUint() const;
    std::string asString() const { return bytes; }
};

struct KivLogRecord {
    Uint32 functionId = 0;
    Uint32 calledFunctionId = 0;
    Uint32 calledValue = 0;
    Uint32 messageCode = 0;
    Uint32 probe = 0;
    Uint32 level = 0;
    Uint32 flags = 0;
    Sint32 itemCount = 0;
    std::vector<KivLogItem> items; /* nested lists flattened in place */
    /* The items as passed: a nested list is one item of type
     * KIVLOG_TYPE_NESTED whose size is its count word. */
    std::vector<KivLogItem> top;
    bool noItemList = false; /* the callback was given no item list at all */

    /* The values of the non-string items of up to eight bytes, in order. */
    std::vector<Uint64> scalars() const;
};

/* Installs the log callback while it lives; one at a time. */
class KivLogCapture {
public:
    KivLogCapture();
    ~KivLogCapture();
    KivLogCapture(const KivLogCapture&) = delete;
    KivLogCapture& operator=(const KivLogCapture&) = delete;

    void clear();
    size_t count() const;
    std::vector<KivLogRecord> all() const;
    std::vector<KivLogRecord> of(Uint32 functionId) const;
    /* The one record of `functionId` at `probe`; a test failure otherwise. */
    KivLogRecord at(Uint32 functionId, Uint32 probe) const;
    bool has(Uint32 functionId, Uint32 probe) const;
};

/* The records of the checks every operation makes first: the null parameter
 * object (probe 1111, level 3, no items) and the version below the minimum
 * (probe 1112, level 3, the version found and the minimum). */
void kivtestExpectNullRecord(const KivLogCapture& log, Uint32 functionId);
void kivtestExpectVersionRecord(const KivLogCapture& log, Uint32 functionId, Uint32 found);

/* The session-local identifier of the shared object `id` of `path`, and
 * the three names of a queue (kind 1 unless told); a test failure when the
 * library refuses the path. */
class KIVIPCResID;
class KIVIPCQueResID;
KIVIPCResID    kivtestResID(const std::string& path, Sint32 id);
KIVIPCQueResID kivtestQueResID(const std::string& path, Sint32 id = 1);

#endif /* KIVTESTLOG_H */
