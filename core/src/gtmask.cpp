/*
 * gtmask.cpp - trace masks: the broad bits (products, components, functions,
 * record types) and the hash table of probe points.
 */
#include "gtmask.h"

#include <string.h>

#include "kivecf.h"

namespace {

const Uint32 kNumProductSlots  = 32;          /* function id bits 27..31 */
const Uint32 kFullComponentBit = 288;         /* the one kept beyond the 36 bytes */
const Uint32 kComponentKeyMask = 0xFFF80000u; /* product and component of a key */
const Uint32 kMaxChainSteps    = GTM_NUM_POINT_ENTRIES;
/* Types that an exclusion point can cut out of a broad type mask, and the
 * types a function with points makes the bitmap filter let through. */
const Uint16 kExclusionTypes = (1u << 3) | (1u << 4) | (1u << 5) | (1u << 11) | (1u << 13) | (1u << 15);
const Uint16 kPointTypes = 0x07F8u /* 3..10 */ | (1u << 11) | (1u << 13) | (1u << 15);

/* Component slot count and first global index of each product.  The mask
 * gives the catalogue's three products fixed rows (32, 32 and 224 slots from
 * global index 1, 33 and 65), wider than the catalogue's own tables, so that
 * its entries stay where every reader of a shared mask expects them; any
 * further catalogue product would follow them. */
const Uint32 kFixedRows = 3;
const Uint32 kFixedSlots[kFixedRows + 1] = {0, 32, 32, 224};

struct ProductTable {
    Uint32 count[kNumProductSlots];
    Uint32 base[kNumProductSlots];

    ProductTable() : count(), base()
    {
        const Uint32 numProducts = ecfGetNumProducts();
        Uint32 next = 1;
        for (Uint32 p = 1; p < kNumProductSlots; ++p) {
            if (p <= kFixedRows)
                count[p] = kFixedSlots[p];
            else if (p <= numProducts)
                count[p] = ecfGetNumComponents(p);
            base[p] = next;
            next += count[p];
        }
    }
};

const ProductTable& products()
{
    static const ProductTable table;
    return table;
}

Uint32 componentCount(Uint32 product)
{
    return product < kNumProductSlots ? products().count[product] : 0;
}

/* global(p, c), or 0 when the component has no entry in the mask. */
Uint32 globalIndex(Uint32 product, Uint32 component)
{
    if (component >= componentCount(product))
        return 0;
    const Uint32 g = products().base[product] + component;
    return g < GTM_NUM_COMPONENT_ENTRIES ? g : 0;
}

bool allBytesAre(const Uint8* bytes, size_t n, Uint8 value)
{
    for (size_t i = 0; i < n; ++i)
        if (bytes[i] != value)
            return false;
    return true;
}

/* The type bits "as in step 1": all for GTM_ALL, else bit t below 16. */
Uint16 typeBitsFor(Uint32 type)
{
    if (type == GTM_ALL)
        return 0xFFFFu;
    return type < 16 ? Uint16(1u << type) : Uint16(0);
}

Uint32 pointKey(Uint32 product, Uint32 component, Uint32 function)
{
    return product << 27 | component << 19 | function;
}

Uint32 bucketOf(Uint32 key) { return key & 0x3FFu; } /* index into buckets[] */

/* The process's scan cursor; a plain static as the scan is per process. */
Uint32 s_scanCursor = 0;

} // namespace

/* ---- Bits of the broad mask. ---- */

namespace {

/* Component bit g, with bit 288 borrowed from entry 0. */
bool compBit(const GTM_TRC_MASK& m, Uint32 g)
{
    if (g == kFullComponentBit)
        return (m.entries[0].typeBits & 1u) != 0;
    return gtmBitTest(m.componentBits, g);
}

void setCompBit(GTM_TRC_MASK& m, Uint32 g)
{
    if (g == kFullComponentBit)
        m.entries[0].typeBits = Uint16(m.entries[0].typeBits | 1u);
    else
        gtmBitSet(m.componentBits, g);
}

void clearCompBit(GTM_TRC_MASK& m, Uint32 g)
{
    if (g == kFullComponentBit)
        m.entries[0].typeBits = Uint16(m.entries[0].typeBits & ~1u);
    else
        gtmBitClear(m.componentBits, g);
}

void setProductBit(GTM_TRC_MASK& m, Uint32 product)
{
    if (product < kNumProductSlots)
        m.productBits |= 1u << product;
}

bool productBit(const GTM_TRC_MASK& m, Uint32 product)
{
    return product < kNumProductSlots && ((m.productBits >> product) & 1u) != 0;
}

/* All functions and the given types of one entry. */
void fillEntry(GTMComponentEntry& e, Uint32 type)
{
    memset(e.functionBits, 0xFF, sizeof e.functionBits);
    e.typeBits = Uint16(e.typeBits | typeBitsFor(type));
}

bool functionBitsEmpty(const GTMComponentEntry& e)
{
    return allBytesAre(e.functionBits, sizeof e.functionBits, 0);
}

/* Any function bit other than `function` set (any at all for a function
 * without a bit). */
bool otherFunctionsSet(const GTMComponentEntry& e, Uint32 function)
{
    for (Uint32 i = 0; i < sizeof e.functionBits; ++i) {
        Uint8 byte = e.functionBits[i];
        if (function < GTM_NUM_FUNCTION_BITS && i == function >> 3)
            byte = Uint8(byte & ~(1u << (function & 7)));
        if (byte != 0)
            return true;
    }
    return false;
}

/* Clears the product bit once none of the product's components is left. */
void dropProductIfEmpty(GTM_TRC_MASK& m, Uint32 product)
{
    for (Uint32 c = 0; c < componentCount(product); ++c) {
        const Uint32 g = globalIndex(product, c);
        if (g != 0 && compBit(m, g))
            return;
    }
    if (product < kNumProductSlots)
        m.productBits &= ~(1u << product);
}

} // namespace

/* ---- The point table. ---- */

namespace {

/* Walks a chain from `index`, bounded so that a table changed under the
 * reader (or never cleared) cannot make it loop.  `visit(i)` returns true to
 * stop; the walk returns the index it stopped at, or 0. */
template <class Visit>
Uint32 walkChain(const GTMPointTable& t, Uint32 index, Visit visit)
{
    for (Uint32 steps = 0; index != 0 && index < GTM_NUM_POINT_ENTRIES && steps < kMaxChainSteps;
         ++steps) {
        const Uint32 next = t.entries[index].next; /* read first: visit may unlink */
        if (visit(index))
            return index;
        index = next;
    }
    return 0;
}

Uint32 findPoint(const GTMPointTable& t, Uint32 key, Uint32 probe)
{
    return walkChain(t, t.buckets[bucketOf(key)], [&](Uint32 i) {
        return t.entries[i].key == key && t.entries[i].probe == probe;
    });
}

bool functionHasPoints(const GTMPointTable& t, Uint32 key)
{
    if (t.numPoints == 0)
        return false;
    return walkChain(t, t.buckets[bucketOf(key)],
                     [&](Uint32 i) { return t.entries[i].key == key; }) != 0;
}

bool componentHasPoints(const GTMPointTable& t, Uint32 componentKey)
{
    if (t.numPoints == 0)
        return false;
    for (Uint32 b = 0; b < GTM_NUM_BUCKETS; ++b) {
        if (walkChain(t, t.buckets[b], [&](Uint32 i) {
                return (t.entries[i].key & kComponentKeyMask) == componentKey;
            }) != 0)
            return true;
    }
    return false;
}

bool addPoint(GTMPointTable& t, Uint32 key, Uint32 probe, Uint64 value)
{
    if (findPoint(t, key, probe) != 0)
        return true;
    const Uint32 i = t.freeHead;
    if (i == 0 || i >= GTM_NUM_POINT_ENTRIES)
        return false;
    GTMPoint& e = t.entries[i];
    t.freeHead = e.next;
    e.key = key;
    e.reserved = 0;
    e.value = value;
    e.probe = Uint16(probe);
    e.pad = 0;
    e.next = t.buckets[bucketOf(key)];
    t.buckets[bucketOf(key)] = Uint16(i);
    ++t.numPoints;
    if (value & GTM_POINT_EXCLUDE)
        ++t.numExclusions;
    return true;
}

/* Unlinks entry i (in the chain of `key`'s bucket), clears it and pushes it
 * on the free list. */
void releasePoint(GTMPointTable& t, Uint32 i)
{
    Uint16* link = &t.buckets[bucketOf(t.entries[i].key)];
    for (Uint32 steps = 0; *link != 0 && *link != i && steps < kMaxChainSteps; ++steps)
        link = &t.entries[*link].next;
    if (*link != i)
        return; /* not in its chain: leave a damaged table alone */
    GTMPoint& e = t.entries[i];
    *link = e.next;
    const bool excluded = (e.value & GTM_POINT_EXCLUDE) != 0;
    memset(&e, 0, sizeof e);
    e.next = t.freeHead;
    t.freeHead = Uint16(i);
    if (t.numPoints != 0)
        --t.numPoints;
    if (excluded && t.numExclusions != 0)
        --t.numExclusions;
}

bool removePoint(GTMPointTable& t, Uint32 key, Uint32 probe)
{
    const Uint32 i = findPoint(t, key, probe);
    if (i != 0)
        releasePoint(t, i);
    return i != 0;
}

/* Every point of one function: they share its key's bucket. */
void removePointsOfFunction(GTMPointTable& t, Uint32 key)
{
    walkChain(t, t.buckets[bucketOf(key)], [&](Uint32 i) {
        if (t.entries[i].key == key)
            releasePoint(t, i);
        return false;
    });
}

/* Every point of every function of one component, whatever the bucket. */
void removePointsOfComponent(GTMPointTable& t, Uint32 componentKey)
{
    for (Uint32 b = 0; b < GTM_NUM_BUCKETS && t.numPoints != 0; ++b) {
        walkChain(t, t.buckets[b], [&](Uint32 i) {
            if ((t.entries[i].key & kComponentKeyMask) == componentKey)
                releasePoint(t, i);
            return false;
        });
    }
}

} // namespace

/* ---- Setting. ---- */

bool GTM_TRC_MASK::gtmClearMask()
{
    productBits = 0;
    memset(componentBits, 0, sizeof componentBits);
    memset(entries, 0, sizeof entries);
    memset(reserved, 0, sizeof reserved);
    memset(&points, 0, sizeof points);
    for (Uint32 i = 1; i < GTM_NUM_POINT_ENTRIES - 1; ++i)
        points.entries[i].next = Uint16(i + 1);
    points.freeHead = 1;
    return true;
}

bool GTM_TRC_MASK::gtmSetMask(Uint32 product, Uint32 component, Uint32 function,
                              Uint32 typeOrProbe, Uint32 mode, Uint64 value)
{
    const bool pointMode = (mode & GTM_MODE_POINT) != 0;
    if (product == GTM_ALL) {
        if (pointMode)
            return true;
        productBits = 0xFFFFFFFFu;
        memset(componentBits, 0xFF, sizeof componentBits);
        setCompBit(*this, kFullComponentBit);
        for (Uint32 g = 1; g < GTM_NUM_COMPONENT_ENTRIES; ++g)
            fillEntry(entries[g], typeOrProbe);
        return true;
    }
    /* A point needs a key that a function id can carry. */
    if (pointMode && component != GTM_ALL && function != GTM_ALL &&
        (product >= kNumProductSlots || component > 0xFFu || function > 0xFFFFu ||
         pointKey(product, component, function) == 0))
        return false;

    setProductBit(*this, product);
    if (component == GTM_ALL) {
        if (pointMode)
            return true;
        for (Uint32 c = 0; c < componentCount(product); ++c) {
            const Uint32 g = globalIndex(product, c);
            if (g != 0) {
                setCompBit(*this, g);
                fillEntry(entries[g], typeOrProbe);
            }
        }
        return true;
    }

    const Uint32 g = globalIndex(product, component);
    if (g != 0)
        setCompBit(*this, g);
    if (function == GTM_ALL) {
        if (!pointMode && g != 0)
            fillEntry(entries[g], typeOrProbe);
        return true;
    }
    if (g != 0 && function < GTM_NUM_FUNCTION_BITS)
        gtmBitSet(entries[g].functionBits, function);
    if (!pointMode) {
        if (g != 0)
            entries[g].typeBits = Uint16(entries[g].typeBits | typeBitsFor(typeOrProbe));
        return true;
    }
    return addPoint(points, pointKey(product, component, function), typeOrProbe, value);
}

/* ---- Deleting. ---- */

namespace {

/* Tidies one function after a deletion: without type bits, a function is
 * kept only for points of its own; a component without functions and a
 * product without components leave the mask. */
void tidyAfterDelete(GTM_TRC_MASK& m, Uint32 product, Uint32 component, Uint32 function)
{
    const Uint32 g = globalIndex(product, component);
    if (g == 0)
        return;
    GTMComponentEntry& e = m.entries[g];
    if (e.typeBits == 0 && function < GTM_NUM_FUNCTION_BITS &&
        !functionHasPoints(m.points, pointKey(product, component, function)))
        gtmBitClear(e.functionBits, function);
    if (functionBitsEmpty(e))
        clearCompBit(m, g);
    dropProductIfEmpty(m, product);
}

/* Takes record type `type` out of the type bits that all functions of
 * entry g share; GTM_ALL takes every type and every point of the component. */
void dropComponentTypes(GTM_TRC_MASK& m, Uint32 g, Uint32 componentKey, Uint32 type)
{
    GTMComponentEntry& e = m.entries[g];
    if (type == GTM_ALL) {
        e.typeBits = 0;
        removePointsOfComponent(m.points, componentKey);
    } else if (type < 16) {
        e.typeBits = Uint16(e.typeBits & ~(1u << type));
    }
}

/* Removes record type `type` (or all of them) from every function of the
 * component; a component left without types keeps only functions that
 * have points. */
void deleteComponent(GTM_TRC_MASK& m, Uint32 product, Uint32 component, Uint32 type)
{
    const Uint32 g = globalIndex(product, component);
    if (g == 0)
        return;
    GTMComponentEntry& e = m.entries[g];
    const Uint32 componentKey = pointKey(product, component, 0);
    dropComponentTypes(m, g, componentKey, type);
    if (e.typeBits == 0 && !componentHasPoints(m.points, componentKey))
        memset(e.functionBits, 0, sizeof e.functionBits);
    if (functionBitsEmpty(e))
        clearCompBit(m, g);
}

void deleteProduct(GTM_TRC_MASK& m, Uint32 product, Uint32 type)
{
    for (Uint32 c = 0; c < componentCount(product); ++c)
        deleteComponent(m, product, c, type);
    dropProductIfEmpty(m, product);
}

/* One function, outside point mode. */
void deleteFunction(GTM_TRC_MASK& m, Uint32 product, Uint32 component, Uint32 function, Uint32 type)
{
    const Uint32 g = globalIndex(product, component);
    if (g == 0 || function > 0xFFFFu)
        return;
    GTMComponentEntry& e = m.entries[g];
    if (!otherFunctionsSet(e, function)) {
        /* The type bits belong to this function alone. */
        dropComponentTypes(m, g, pointKey(product, component, 0), type);
    } else if (type == GTM_ALL) {
        /* Other functions share the type bits: only this one goes. */
        removePointsOfFunction(m.points, pointKey(product, component, function));
        if (function < GTM_NUM_FUNCTION_BITS)
            gtmBitClear(e.functionBits, function);
    }
}

/* One point.  A point that is not there but that the broad mask covers for
 * the types an exclusion point can cut out becomes an exclusion point. */
bool deletePoint(GTM_TRC_MASK& m, Uint32 product, Uint32 component, Uint32 function, Uint32 probe)
{
    if (product >= kNumProductSlots || component > 0xFFu || function > 0xFFFFu)
        return true;
    const Uint32 key = pointKey(product, component, function);
    if (removePoint(m.points, key, probe))
        return true;
    const Uint32 g = globalIndex(product, component);
    if (g == 0 || !productBit(m, product) || !compBit(m, g) ||
        !m.gtmIsFuncInMask(product, component, function) ||
        (m.entries[g].typeBits & kExclusionTypes) == 0)
        return true;
    return addPoint(m.points, key, probe, GTM_POINT_EXCLUDE);
}

} // namespace

bool GTM_TRC_MASK::gtmDelMask(Uint32 product, Uint32 component, Uint32 function,
                              Uint32 typeOrProbe, Uint32 mode)
{
    const bool pointMode = (mode & GTM_MODE_POINT) != 0;
    if (product == GTM_ALL) {
        const Uint32 numProducts = ecfGetNumProducts();
        for (Uint32 p = 1; !pointMode && p <= numProducts; ++p)
            deleteProduct(*this, p, typeOrProbe);
        return true;
    }
    if (component == GTM_ALL) {
        if (!pointMode)
            deleteProduct(*this, product, typeOrProbe);
        return true;
    }
    if (function == GTM_ALL) {
        if (!pointMode) {
            deleteComponent(*this, product, component, typeOrProbe);
            dropProductIfEmpty(*this, product);
        }
        return true;
    }
    bool ok = true;
    if (pointMode)
        ok = deletePoint(*this, product, component, function, typeOrProbe);
    else
        deleteFunction(*this, product, component, function, typeOrProbe);
    tidyAfterDelete(*this, product, component, function);
    return ok;
}

/* ---- Questions. ---- */

bool GTM_TRC_MASK::gtmIsElemInMask(Uint32 functionId, Uint32 recordType, Uint32 probe) const
{
    const Uint32 product = functionId >> 27;
    if (!productBit(*this, product))
        return false;
    const Uint32 component = (functionId >> 19) & 0xFFu;
    const Uint32 g = globalIndex(product, component);
    if (g == 0 || !compBit(*this, g))
        return false;
    const GTMComponentEntry& e = entries[g];
    const Uint32 function = functionId & 0xFFFFu;
    const Uint32 key = functionId & ~0x70000u;
    const bool functionCovered = function < GTM_NUM_FUNCTION_BITS
                                     ? gtmBitTest(e.functionBits, function)
                                     : allBytesAre(e.functionBits, sizeof e.functionBits, 0xFF);
    if (!functionCovered)
        return function >= GTM_NUM_FUNCTION_BITS && findPoint(points, key, probe) != 0;

    if (recordType < 16 && ((e.typeBits >> recordType) & 1u)) {
        if (((kExclusionTypes >> recordType) & 1u) == 0 || points.numExclusions == 0)
            return true;
        const Uint32 i = findPoint(points, key, probe);
        return i == 0 || (points.entries[i].value & GTM_POINT_EXCLUDE) == 0;
    }
    return findPoint(points, key, probe) != 0;
}

bool GTM_TRC_MASK::gtmIsCompInMask(Uint32 product, Uint32 component) const
{
    const Uint32 g = globalIndex(product, component);
    return g != 0 && compBit(*this, g);
}

bool GTM_TRC_MASK::gtmIsFuncInMask(Uint32 product, Uint32 component, Uint32 function) const
{
    const Uint32 g = globalIndex(product, component);
    return g != 0 && function < GTM_NUM_FUNCTION_BITS && gtmBitTest(entries[g].functionBits, function);
}

bool GTM_TRC_MASK::gtmIsTypeInMask(Uint32 product, Uint32 component, Uint32 type) const
{
    const Uint32 g = globalIndex(product, component);
    return g != 0 && type < 16 && ((entries[g].typeBits >> type) & 1u) != 0;
}

bool GTM_TRC_MASK::gtmIsProdMaskFull() const
{
    return productBits == 0xFFFFFFFFu;
}

bool GTM_TRC_MASK::gtmIsCompMaskFull(Uint32 product) const
{
    for (Uint32 c = 1; c < componentCount(product); ++c)
        if (!gtmIsCompInMask(product, c))
            return false;
    return true;
}

bool GTM_TRC_MASK::gtmIsFuncMaskFull(Uint32 product, Uint32 component) const
{
    const Uint32 g = globalIndex(product, component);
    return g != 0 && allBytesAre(entries[g].functionBits, sizeof entries[g].functionBits, 0xFF);
}

bool GTM_TRC_MASK::gtmIsTypeMaskFull(Uint32 product, Uint32 component) const
{
    const Uint32 g = globalIndex(product, component);
    return g != 0 && entries[g].typeBits == 0xFFFFu;
}

/* ---- Replication and scan. ---- */

void GTM_TRC_MASK::gtmReplicateMask(GTMask* out) const
{
    if (out == nullptr)
        return;
    Uint32 types = 0;
    const Uint32 numProducts = ecfGetNumProducts();
    for (Uint32 p = 1; p <= numProducts && p < kNumProductSlots; ++p) {
        if (!productBit(*this, p))
            continue;
        gtmBitSet(out->productBitmap, p);
        for (Uint32 c = 1; c < componentCount(p) && c < 256; ++c) {
            if (!gtmIsCompInMask(p, c))
                continue;
            gtmBitSet(out->componentBitmap, c);
            const Uint32 numFunctions = ecfGetNumFunctions(p, c);
            for (Uint32 f = 1; f < numFunctions && f < GTM_NUM_FUNCTION_BITS; ++f) {
                if (!gtmIsFuncInMask(p, c, f))
                    continue;
                gtmBitSet(out->functionBitmap, f);
                if (functionHasPoints(points, pointKey(p, c, f)))
                    types |= kPointTypes;
            }
            types |= entries[globalIndex(p, c)].typeBits & 0xFFFEu;
        }
    }
    out->typeBitmap[0] = Uint8(out->typeBitmap[0] | (types & 0xFFu));
    out->typeBitmap[1] = Uint8(out->typeBitmap[1] | (types >> 8));
    if (types != 0)
        out->functionGroupBitmap = 0xFF;
}

bool GTM_TRC_MASK::gtmScanPointsHash(Uint32* key, Uint64* value, Uint16* probe) const
{
    if (key == nullptr || value == nullptr || probe == nullptr)
        return false;
    while (s_scanCursor < GTM_NUM_POINT_ENTRIES && ++s_scanCursor < GTM_NUM_POINT_ENTRIES) {
        const GTMPoint& e = points.entries[s_scanCursor];
        if (e.key != 0) {
            *key = e.key;
            *value = e.value;
            *probe = e.probe;
            return true;
        }
    }
    return false;
}

void GTM_TRC_MASK::gtmRestartPointsScan()
{
    s_scanCursor = 0;
}
