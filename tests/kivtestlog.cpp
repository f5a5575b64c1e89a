/*
 * kivtestlog.cpp - the log capture of the tests.
 */
#include "kivtestlog.h"

#include "kivecf.h"
#include "kivipc.h"

#include <cstring>
#include <mutex>

#include <gtest/gtest.h>

namespace {

std::mutex g_mutex;
std::vector<KivLogRecord> g_records;

Uint32 itemsIn(Sint32 count)
{
    if (count >= 0)
        return (Uint32)count;
    Uint32 n = 0;
    for (Uint32 mask = (Uint32)count & 0x7FFFFFFFu; mask; mask &= mask - 1)
        ++n;
    return n;
}

void takeItems(va_list* ap, Sint32 count, std::vector<KivLogItem>& out, int depth,
               std::vector<KivLogItem>* top)
{
    for (Uint32 i = 0, n = itemsIn(count); i < n; ++i) {
        const void* p = va_arg(*ap, const void*);
        Uint32 size = va_arg(*ap, Uint32);
        Sint32 type = va_arg(*ap, Sint32);
        if (type == KIVLOG_TYPE_NESTED && p && depth < 8) {
            if (top) {
                KivLogItem list;
                list.type = type;
                list.size = size;
                top->push_back(list);
            }
            va_list inner;
            va_copy(inner, *static_cast<va_list*>(const_cast<void*>(p)));
            takeItems(&inner, (Sint32)size, out, depth + 1, nullptr);
            va_end(inner);
            continue;
        }
        KivLogItem item;
        item.type = type;
        item.size = size;
        item.null = (p == nullptr);
        if (p && type == KIVLOG_TYPE_STRING)
            item.bytes.assign(static_cast<const char*>(p), strnlen(static_cast<const char*>(p), 512));
        else if (p)
            item.bytes.assign(static_cast<const char*>(p), size < 512 ? size : 512);
        out.push_back(item);
        if (top)
            top->push_back(item);
    }
}

Uint32 capture(KIVLogFac*, Uint32 functionId, Uint32 calledFunctionId, Uint32 calledValue,
               Uint32 messageCode, Uint32 probe, Uint32 level, Uint32 flags, Sint32 itemCount,
               va_list* items)
{
    KivLogRecord r;
    r.functionId = functionId;
    r.calledFunctionId = calledFunctionId;
    r.calledValue = calledValue;
    r.messageCode = messageCode;
    r.probe = probe;
    r.level = level;
    r.flags = flags;
    r.itemCount = itemCount;
    if (items) {
        va_list ap;
        va_copy(ap, *items);
        takeItems(&ap, itemCount, r.items, 0, &r.top);
        va_end(ap);
    } else {
        r.noItemList = true;
    }
    std::lock_guard<std::mutex> g(g_mutex);
    g_records.push_back(r);
    return 0;
}

} // namespace

Uint64 KivLogItem::asUint() const
{
    Uint64 v = 0;
    std::memcpy(&v, bytes.data(), bytes.size() < 8 ? bytes.size() : 8);
    return v;
}

std::vector<Uint64> KivLogRecord::scalars() const
{
    std::vector<Uint64> out;
    for (const auto& item : items)
        if (!item.null && item.type != KIVLOG_TYPE_STRING && item.size <= 8)
            out.push_back(item.asUint());
    return out;
}

KivLogCapture::KivLogCapture()
{
    clear();
    kivSetKIVeLogCallback(capture);
}

KivLogCapture::~KivLogCapture() { kivSetKIVeLogCallback(nullptr); }

void KivLogCapture::clear()
{
    std::lock_guard<std::mutex> g(g_mutex);
    g_records.clear();
}

size_t KivLogCapture::count() const
{
    std::lock_guard<std::mutex> g(g_mutex);
    return g_records.size();
}

std::vector<KivLogRecord> KivLogCapture::all() const
{
    std::lock_guard<std::mutex> g(g_mutex);
    return g_records;
}

std::vector<KivLogRecord> KivLogCapture::of(Uint32 functionId) const
{
    std::vector<KivLogRecord> out;
    for (const auto& r : all())
        if (r.functionId == functionId)
            out.push_back(r);
    return out;
}

bool KivLogCapture::has(Uint32 functionId, Uint32 probe) const
{
    for (const auto& r : of(functionId))
        if (r.probe == probe)
            return true;
    return false;
}

KivLogRecord KivLogCapture::at(Uint32 functionId, Uint32 probe) const
{
    KivLogRecord found;
    int n = 0;
    for (const auto& r : of(functionId))
        if (r.probe == probe) {
            found = r;
            ++n;
        }
    EXPECT_EQ(1, n) << "records of 0x" << std::hex << functionId << std::dec << " at probe "
                    << probe;
    return found;
}

void kivtestExpectNullRecord(const KivLogCapture& log, Uint32 functionId)
{
    KivLogRecord r = log.at(functionId, 1111);
    EXPECT_EQ(ECF_INVALID_PARAMETER, r.messageCode);
    EXPECT_EQ(3u, r.level);
    EXPECT_EQ(0u, r.calledFunctionId);
    EXPECT_TRUE(r.items.empty());
}

void kivtestExpectVersionRecord(const KivLogCapture& log, Uint32 functionId, Uint32 found)
{
    KivLogRecord r = log.at(functionId, 1112);
    EXPECT_EQ(ECF_INVALID_VERSION, r.messageCode);
    EXPECT_EQ(3u, r.level);
    EXPECT_EQ((std::vector<Uint64>{found, KIV_VERSION_MIN}), r.scalars());
    for (const auto& item : r.items)
        EXPECT_EQ(KIVLOG_TYPE_UINT, item.type);
}

namespace {

KIVIPCGetResIDParam localName(const std::string& path, Sint32 id)
{
    KIVIPCGetResIDParam d;
    d.path = path.c_str();
    d.id = id;
    d.localOnly = true;
    return d;
}

} // namespace

KIVIPCResID kivtestResID(const std::string& path, Sint32 id)
{
    KIVIPCGetResIDParam d = localName(path, id);
    KIVIPCResID r;
    EXPECT_EQ(0u, kivIPCGetResID(&d, &r));
    return r;
}

KIVIPCQueResID kivtestQueResID(const std::string& path, Sint32 id)
{
    KIVIPCGetResIDParam d = localName(path, id);
    KIVIPCQueResID r;
    EXPECT_EQ(0u, kivIPCGetQueResID(&d, &r));
    return r;
}
