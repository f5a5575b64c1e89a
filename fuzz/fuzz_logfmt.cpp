/*
 * fuzz_logfmt.cpp - the log record formatter over item lists decoded from
 * the input: every item type, sizes that fit and sizes that do not, null
 * pointers, strings of any length, and nested lists that refer to each
 * other (a list may contain itself, directly or through others).
 *
 * A variable argument list cannot be built at run time, so each list is the
 * argument list of one frame of a variadic function, always passed the 31
 * items the largest count or mask can take; the frames of all lists are
 * open when the record is formatted.  Every value lives in a heap block of
 * the bytes it claims (at most the 512 the formatter may show), so a read
 * past what an item says it holds is caught.
 */
#include "kivlog.h"
#include "kivlogfmt.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <vector>

#include "fuzz_common.h"

namespace {

const int kItemsPerList = 31;
const int kMaxLists = 6;
const Uint32 kShownMax = 512;

struct Item {
    const void* p = nullptr;
    Uint32      size = 0;
    Sint32      type = 0;
};

struct Lists {
    int               count = 0;
    Item              items[kMaxLists][kItemsPerList];
    va_list           open[kMaxLists];   /* a copy of each open frame's list */
    KIVLogCall        call = {};
    std::vector<std::unique_ptr<char[]>> blocks;
};

const void* block(Lists& l, std::vector<char> bytes)
{
    std::unique_ptr<char[]> b(new char[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty())
        memcpy(b.get(), bytes.data(), bytes.size());
    l.blocks.push_back(std::move(b));
    return l.blocks.back().get();
}

/* A count of 0..31 or, negative, an argument mask. */
Sint32 nestedCount(FuzzedDataProvider& in)
{
    if (in.ConsumeBool())
        return (Sint32)(in.ConsumeIntegral<Uint32>() | 0x80000000u);
    return in.ConsumeIntegralInRange<Sint32>(0, kItemsPerList);
}

Uint32 itemSize(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:  return 1u << in.ConsumeIntegralInRange(0, 3);   /* 1, 2, 4, 8 */
    case 1:  return in.ConsumeIntegralInRange<Uint32>(0, 40);
    case 2:  return in.ConsumeIntegralInRange<Uint32>(500, 530);
    default: return in.ConsumeIntegral<Uint32>();
    }
}

Item decodeItem(FuzzedDataProvider& in, Lists& l)
{
    Item it;
    const int kind = in.ConsumeIntegralInRange(0, 9);
    it.type = kind <= 7 ? -kind : in.ConsumeIntegral<Sint32>();   /* 0 is raw */
    if (it.type == KIVLOG_TYPE_NESTED) {
        it.size = (Uint32)nestedCount(in);
        it.p = in.ConsumeBool() ? nullptr : &l.open[in.ConsumeIntegralInRange(0, kMaxLists - 1)];
        return it;
    }
    it.size = itemSize(in);
    if (in.ConsumeIntegralInRange(0, 15) == 0)
        return it;   /* null pointer */
    if (it.type == KIVLOG_TYPE_STRING) {
        std::string text = in.ConsumeRandomLengthString(700);
        it.p = block(l, std::vector<char>(text.c_str(), text.c_str() + text.size() + 1));
        return it;
    }
    const Uint32 held = it.size < kShownMax ? it.size : kShownMax;
    std::vector<char> bytes = in.ConsumeBytes<char>(held);
    bytes.resize(held, 'x');
    it.p = block(l, bytes);
    return it;
}

void format(Lists& l)
{
    // The formatter walks the root list itself: give it a copy, so that a
    // nested reference to the root still starts at its first item.
    va_list root;
    va_copy(root, l.open[0]);
    l.call.items = &root;
    std::unique_ptr<char[]> record(new char[KIVLOG_RECORD_SIZE]());
    Uint32 length = kivLogFormatRecord(record.get(), l.call);
    va_end(root);
    FUZZ_CHECK(length < KIVLOG_RECORD_SIZE);
    FUZZ_CHECK(length == strlen(record.get()));
    FUZZ_CHECK(length >= 2 && memcmp(record.get(), "\r\n", 2) == 0);
}

void openFrom(Lists& l, int k);

#define ITEM(i) it[i].p, it[i].size, it[i].type
#define ITEMS8(b) ITEM(b), ITEM(b + 1), ITEM(b + 2), ITEM(b + 3), ITEM(b + 4), ITEM(b + 5), \
                  ITEM(b + 6), ITEM(b + 7)

void frame(Lists& l, int k, ...)
{
    va_list ap;
    va_start(ap, k);
    va_copy(l.open[k], ap);
    openFrom(l, k + 1);
    va_end(l.open[k]);
    va_end(ap);
}

/* Opens the frames of lists k and up, then formats. */
void openFrom(Lists& l, int k)
{
    if (k == l.count) {
        format(l);
        return;
    }
    const Item* it = l.items[k];
    static_assert(kItemsPerList == 31, "the frame passes 31 items");
    frame(l, k, ITEMS8(0), ITEMS8(8), ITEMS8(16), ITEM(24), ITEM(25), ITEM(26), ITEM(27),
          ITEM(28), ITEM(29), ITEM(30));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Lists l;
    KIVLogCall& c = l.call;
    c.functionId = in.ConsumeIntegral<Uint32>();
    c.calledFunctionId = in.ConsumeBool() ? 0 : in.ConsumeIntegral<Uint32>();
    c.calledValue = in.ConsumeIntegral<Uint32>();
    c.messageCode = in.ConsumeBool() ? 0 : in.ConsumeIntegral<Uint32>();
    c.probe = in.ConsumeIntegral<Uint32>();
    c.level = in.ConsumeIntegralInRange<Uint32>(0, 7);
    c.flags = in.ConsumeIntegralInRange<Uint32>(0, 7);
    // The root count: a mask in argument-mask mode, else 0..31 (a negative
    // count never reaches the formatter from the entry points).
    c.itemCount = (c.flags & KIVLOG_FLAG_ARGMASK) ? in.ConsumeIntegral<Sint32>()
                                                   : in.ConsumeIntegralInRange(0, kItemsPerList);
    l.count = in.ConsumeIntegralInRange(1, kMaxLists);
    for (int k = 0; k < l.count; ++k) {
        for (int i = 0; i < kItemsPerList; ++i)
            l.items[k][i] = decodeItem(in, l);
    }
    // Nested references to lists that were not decoded point at the root.
    for (int k = 0; k < l.count; ++k) {
        for (Item& it : l.items[k]) {
            if (it.type == KIVLOG_TYPE_NESTED && it.p != nullptr &&
                static_cast<const va_list*>(it.p) >= &l.open[l.count])
                it.p = &l.open[0];
        }
    }
    openFrom(l, 0);
    return 0;
}
