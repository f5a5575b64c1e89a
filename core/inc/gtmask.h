/*
 * gtmask.h - trace masks: which trace points are recorded.
 *
 * A trace mask (GTM_TRC_MASK) names whole products, components of a
 * product, functions of a component, record types of a component, and
 * single probe points (a function and a probe number carrying a 64-bit
 * value).  It lives inside the trace options, so inside the shared trace
 * control block: it is plain memory with fixed offsets, no pointers and no
 * constructor, and a zero-filled block must be emptied with gtmClearMask
 * before use.
 *
 * Components are addressed by a global index: global(p, c) = base(p) + c.
 * Product 1 has 32 component slots from base 1, product 2 has 32 from base
 * 33, product 3 has 224 from base 65, so global indexes run from 1 to 288
 * (a later catalogue product would follow with the catalogue's slot count,
 * but finds no room).  Setting or deleting a whole product covers all of
 * its slots, 0 included; gtmIsCompMaskFull and gtmReplicateMask look at
 * components 1 .. slot count - 1, and gtmReplicateMask at functions
 * 1 .. ecfGetNumFunctions(p, c) - 1 of the catalogue.  A component
 * number at or beyond its product's slot count, or a product outside the
 * catalogue, has no global index: the mask keeps nothing for it below the
 * product bit, and the membership tests say "not in the mask".
 *
 * Component bit 288 has no room in the 36 bytes of component bits; it is
 * kept in the first byte that follows them (bit 0 of entry 0's type bits,
 * an entry no component uses).
 *
 * The mask is read without locks by every trace point while a controlling
 * program changes it; chain walks are bounded so that a half-changed table
 * never makes a reader loop.
 *
 * GTMask is the flat bitmap block of the trace options (offsets 1064..1614)
 * that gtmReplicateMask fills from a mask.  Every bitmap here follows one
 * rule: bit n is bit n mod 8 of byte n / 8, least significant bit first.
 */
#ifndef GTMASK_H
#define GTMASK_H

#include "kivbase.h"

/* "All products / components / functions / types" in the arguments. */
#define GTM_ALL                   0xFFFFFFFFu
/* mode bit 0: typeOrProbe is a probe number and the call works on points. */
#define GTM_MODE_POINT            0x1u
/* Flag bit 1 of a point's value: an exclusion point, cut out of a broad
 * type mask. */
#define GTM_POINT_EXCLUDE         0x2u

#define GTM_NUM_COMPONENT_ENTRIES 289   /* global indexes 1..288; entry 0 unused */
#define GTM_NUM_FUNCTION_BITS     4096  /* function numbers 0..4095 */
#define GTM_NUM_POINT_ENTRIES     2000  /* entry 0 means "no entry" */
#define GTM_MAX_POINTS            1999
#define GTM_NUM_BUCKETS           1024

/* Bit n of a bitmap of bytes. */
inline bool gtmBitTest(const Uint8* map, Uint32 n) { return (map[n >> 3] >> (n & 7)) & 1u; }
inline void gtmBitSet(Uint8* map, Uint32 n) { map[n >> 3] = Uint8(map[n >> 3] | (1u << (n & 7))); }
inline void gtmBitClear(Uint8* map, Uint32 n) { map[n >> 3] = Uint8(map[n >> 3] & ~(1u << (n & 7))); }

/* The bitmap filter block of the trace options.  Only bytes: it sits at
 * offset 1064 of the options and must keep its 551 bytes on every target. */
struct GTMask {
    Uint8 typeBitmap[2];       /* bit t: record type t */
    Uint8 productBitmap[4];    /* bit p: product p (function id bits 27..31) */
    Uint8 componentBitmap[32]; /* bit c: component number c (bits 19..26), not the global index */
    Uint8 functionBitmap[512]; /* bit f: function number f (bits 0..15), 0..4095 */
    /* One bit per function group (bits 16..18).  gtmReplicateMask sets the
     * whole byte when it set any type bit: a mask does not filter by group. */
    Uint8 functionGroupBitmap;
};
static_assert(offsetof(GTMask, typeBitmap) == 0, "GTMask layout");
static_assert(offsetof(GTMask, productBitmap) == 2, "GTMask layout");
static_assert(offsetof(GTMask, componentBitmap) == 6, "GTMask layout");
static_assert(offsetof(GTMask, functionBitmap) == 38, "GTMask layout");
static_assert(offsetof(GTMask, functionGroupBitmap) == 550, "GTMask layout");
static_assert(sizeof(GTMask) == 551, "GTMask is 551 bytes");

/* What the mask holds for one global component. */
struct GTMComponentEntry {
    Uint16 typeBits;          /* bit t: record type t; 0xFFFF: all types */
    Uint8  functionBits[512]; /* bit f: function number f */
};
static_assert(offsetof(GTMComponentEntry, functionBits) == 2, "GTMComponentEntry layout");
static_assert(sizeof(GTMComponentEntry) == 514, "GTMComponentEntry is 514 bytes");

/* One probe point.  Explicit padding keeps the 24 bytes where a 64-bit
 * word is aligned to 4 (Linux 32-bit) and where it is aligned to 8. */
struct GTMPoint {
    Uint32 key;      /* function id without bits 16..18; 0 in a free entry */
    Uint32 reserved; /* 0 */
    Uint64 value;    /* low word: the point's flags (GTM_POINT_EXCLUDE) */
    Uint16 probe;
    Uint16 next;     /* next entry of the bucket chain or free list; 0 = end */
    Uint32 pad;      /* 0 */
};
static_assert(offsetof(GTMPoint, key) == 0, "GTMPoint layout");
static_assert(offsetof(GTMPoint, reserved) == 4, "GTMPoint layout");
static_assert(offsetof(GTMPoint, value) == 8, "GTMPoint layout");
static_assert(offsetof(GTMPoint, probe) == 16, "GTMPoint layout");
static_assert(offsetof(GTMPoint, next) == 18, "GTMPoint layout");
static_assert(sizeof(GTMPoint) == 24, "GTMPoint is 24 bytes");

/* The point table: a chained hash of 1024 buckets in fixed storage.  The
 * bucket of a key is (key & 0x3FF) + 1; bucket b's head is buckets[b - 1]. */
struct GTMPointTable {
    GTMPoint entries[GTM_NUM_POINT_ENTRIES];
    Uint16   freeHead;
    Uint16   buckets[GTM_NUM_BUCKETS];
    Uint8    pad[6];
    Uint64   numPoints;
    Uint64   numExclusions; /* points whose flags have GTM_POINT_EXCLUDE */
};
static_assert(offsetof(GTMPointTable, entries) == 0, "GTMPointTable layout");
static_assert(offsetof(GTMPointTable, freeHead) == 48000, "GTMPointTable layout");
static_assert(offsetof(GTMPointTable, buckets) == 48002, "GTMPointTable layout");
static_assert(offsetof(GTMPointTable, numPoints) == 50056, "GTMPointTable layout");
static_assert(offsetof(GTMPointTable, numExclusions) == 50064, "GTMPointTable layout");
static_assert(sizeof(GTMPointTable) == 50072, "GTMPointTable is 50072 bytes");

/*
 * The trace mask.  All members work on the block in place; none allocates.
 * 0xFFFFFFFF (GTM_ALL) in a product, component or function argument stands
 * for all of them; in typeOrProbe outside point mode it stands for all
 * record types.
 */
struct KIV_API GTM_TRC_MASK {
    Uint32            productBits;        /* bit p: product p is (partly) in the mask */
    Uint8             componentBits[36];  /* bit g: global component g (288: see above) */
    GTMComponentEntry entries[GTM_NUM_COMPONENT_ENTRIES];
    Uint8             reserved[6];
    GTMPointTable     points;

    /* Empties the mask and links the free list of points.  Always true. */
    bool gtmClearMask();

    /* Adds to the mask.  Outside point mode, typeOrProbe is a record type
     * (0..15) or GTM_ALL, and the call is always true.  In point mode
     * (mode & GTM_MODE_POINT) it adds the point (function, probe
     * typeOrProbe) with `value` once product, component and function are
     * given: true when it is there afterwards (an existing point keeps its
     * first value), false when the table is full or when the point cannot
     * be named by a function id (product above 31, component above 255,
     * function above 0xFFFF, or all three 0). */
    bool gtmSetMask(Uint32 product, Uint32 component, Uint32 function,
                    Uint32 typeOrProbe, Uint32 mode, Uint64 value);

    /* Removes from the mask.  Removing a point that is not there while a
     * broad type mask covers its function adds an exclusion point instead
     * (value GTM_POINT_EXCLUDE).  True, or false when that exclusion point
     * finds the table full. */
    bool gtmDelMask(Uint32 product, Uint32 component, Uint32 function,
                    Uint32 typeOrProbe, Uint32 mode);

    /* The filter question: is this trace point (function id, record type,
     * probe) to be recorded?  Functions numbered 4096 and up have no
     * function bit: they pass when all of the component's function bits are
     * set, and otherwise only through a point of their own. */
    bool gtmIsElemInMask(Uint32 functionId, Uint32 recordType, Uint32 probe) const;

    /* Single bit tests; false for a component without a global index, a
     * function from 4096 up, a type from 16 up. */
    bool gtmIsCompInMask(Uint32 product, Uint32 component) const;
    bool gtmIsFuncInMask(Uint32 product, Uint32 component, Uint32 function) const;
    bool gtmIsTypeInMask(Uint32 product, Uint32 component, Uint32 type) const;

    /* All 32 product bits set. */
    bool gtmIsProdMaskFull() const;
    /* Every component 1 .. count - 1 of the product in the mask; true for a
     * product with fewer than 2 component slots. */
    bool gtmIsCompMaskFull(Uint32 product) const;
    /* All 4096 function bits / all 16 type bits of the component set. */
    bool gtmIsFuncMaskFull(Uint32 product, Uint32 component) const;
    bool gtmIsTypeMaskFull(Uint32 product, Uint32 component) const;

    /* ORs the mask's summary into `out` (cleared by the caller); a null
     * `out` is ignored. */
    void gtmReplicateMask(GTMask* out) const;

    /* The next point of the table, in entry order, with one cursor per
     * process that is never reset: a process scans the table once.  False
     * at the end (or for a null argument).  Removed points are not reported
     * (their entries are cleared). */
    bool gtmScanPointsHash(Uint32* key, Uint64* value, Uint16* probe) const;
    /* Puts the process's scan cursor back to the start of the table. */
    static void gtmRestartPointsScan();
};
static_assert(offsetof(GTM_TRC_MASK, productBits) == 0, "GTM_TRC_MASK layout");
static_assert(offsetof(GTM_TRC_MASK, componentBits) == 4, "GTM_TRC_MASK layout");
static_assert(offsetof(GTM_TRC_MASK, entries) == 40, "GTM_TRC_MASK layout");
static_assert(offsetof(GTM_TRC_MASK, reserved) == 148586, "GTM_TRC_MASK layout");
static_assert(offsetof(GTM_TRC_MASK, points) == 148592, "GTM_TRC_MASK layout");
static_assert(sizeof(GTM_TRC_MASK) == 198664, "GTM_TRC_MASK is 198664 bytes");

#endif /* GTMASK_H */
