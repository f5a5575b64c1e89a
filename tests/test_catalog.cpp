/*
 * test_catalog.cpp - the catalogue of products, components, functions and
 * ECF codes: counts, end slots, the names this library reports under, and
 * the validation of identifiers and codes that log and trace readers meet.
 * Whole tables are checked by their structure (every slot named, every name
 * found again at its own slot); a few rows pin the exact texts.
 */
#include "kivecf.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

/* A lookup result as a comparable value: null stays distinguishable. */
std::string text(const char* s)
{
    return s != nullptr ? std::string(s) : std::string("<null>");
}

const Uint32 kCodes = 1526;

struct FunctionCase {
    Uint32      id;
    const char* name;
};

} // namespace

TEST(Catalog, CountsOfProductsComponentsAndFunctions)
{
    EXPECT_EQ(3u, ecfGetNumProducts());
    const Uint32 components[] = {0, 19, 4, 194, 0, 0};
    for (Uint32 p = 0; p < 6; ++p)
        EXPECT_EQ(components[p], ecfGetNumComponents(p)) << "product " << p;
    EXPECT_EQ(0u, ecfGetNumComponents(31));

    const struct { Uint32 product, component, count; } functions[] = {
        {1, 2, 434}, {1, 3, 205},
        {1, 1, 0},                            /* generic codes only, no functions */
        {0, 3, 0}, {1, 0, 0}, {1, 19, 0},     /* the end slot */
        {1, 200, 0}, {4, 3, 0}, {3, 193, 0},
    };
    for (const auto& f : functions)
        EXPECT_EQ(f.count, ecfGetNumFunctions(f.product, f.component))
            << f.product << "." << f.component;

    EXPECT_EQ(kCodes, ecfErrorGetNumCodes(1));
    for (Uint32 set : {0u, 2u, 7u})
        EXPECT_EQ(0u, ecfErrorGetNumCodes(set)) << set;
}

/* Every slot below a count has a name (possibly empty), the slot at the
 * count is null: that is what readers that walk the tables rely on. */
TEST(Catalog, EveryTableEndsInANullSlotAtItsCount)
{
    for (Uint32 p = 1; p <= ecfGetNumProducts(); ++p) {
        const Uint32 nc = ecfGetNumComponents(p);
        EXPECT_NE(nullptr, ecfGetProductName(KIV_FID_MAKE(p, 0, 0, 0))) << p;
        for (Uint32 c = 1; c <= nc; ++c) {
            const Uint32 id = KIV_FID_MAKE(p, c, 0, 1);
            const bool end = c == nc;
            EXPECT_EQ(end, ecfGetComponentName(id) == nullptr) << p << "." << c;
            EXPECT_EQ(end, ecfGetComponentShortName(id) == nullptr) << p << "." << c;
            const Uint32 nf = ecfGetNumFunctions(p, c);
            for (Uint32 f = 1; f <= nf; ++f)
                EXPECT_EQ(f == nf, ecfGetFunctionName(KIV_FID_MAKE(p, c, 0, f)) == nullptr)
                    << p << "." << c << "." << f;
            EXPECT_EQ(nullptr, ecfGetFunctionName(KIV_FID_MAKE(p, c, 0, nf + 1)));
        }
    }
    for (Uint32 index = 1; index <= kCodes; ++index) {
        EXPECT_NE(nullptr, ecfErrorGetCodeName(0x90000000u + index)) << index;
        EXPECT_NE(nullptr, ecfErrorGetDescription(0x90000000u + index)) << index;
    }
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x90000000u + kCodes + 1));
    EXPECT_EQ(nullptr, ecfErrorGetDescription(0x90000000u + kCodes + 1));
}

TEST(Catalog, FunctionIdentifierValidation)
{
    EXPECT_EQ("KIVDirectoryListing::begin", text(ecfGetFunctionName(0x081A000Eu)));
    EXPECT_EQ("COMP_KIVE", text(ecfGetComponentShortName(0x081A0001u)));
    EXPECT_EQ("KIVe", text(ecfGetComponentName(0x081A0001u)));
    EXPECT_EQ("", text(ecfGetProductName(0x081A0001u)));
    EXPECT_EQ("", text(ecfGetFunctionName(0x081401B1u)));     /* 433: last OS slot, unnamed */

    const struct { Uint32 id; const char* (*lookup)(Uint32); const char* why; } nulls[] = {
        {0x20000000u, ecfGetProductName, "product 4"},
        {0xF81A000Eu, ecfGetProductName, "product 31"},
        {0x001A000Eu, ecfGetProductName, "product 0"},
        {0x0802000Eu, ecfGetComponentName, "component 0"},
        {0x089A0001u, ecfGetComponentName, "component 19 = count"},
        {0x0FFA0001u, ecfGetComponentShortName, "component 255"},
        {0x081A0000u, ecfGetFunctionName, "function 0"},
        {0x081A00CDu, ecfGetFunctionName, "function 205 = count"},
        {0x081AFFFFu, ecfGetFunctionName, "function 65535"},
        {0x08080001u, ecfGetFunctionName, "component 1: no functions"},
        {0x201A000Eu, ecfGetFunctionName, "product 4"},
        {0x081401B2u, ecfGetFunctionName, "OS function 434 = count"},
    };
    for (const auto& n : nulls)
        EXPECT_EQ(nullptr, n.lookup(n.id)) << n.why;
}

TEST(Catalog, FindsByExactName)
{
    EXPECT_EQ(3u, ecfFindComponentIndex(1, "COMP_KIVE"));
    EXPECT_EQ(2u, ecfFindComponentIndex(1, "COMP_SYSFUNCS"));
    const struct { Uint32 product; const char* name; } noComponent[] = {
        {1, "KIVe"},                       /* long names are not searched */
        {1, "comp_kive"},                  /* case matters */
        {1, "COMP_KIVE "}, {2, "COMP_KIVE"}, {0, "COMP_KIVE"}, {4, "COMP_KIVE"}, {1, nullptr},
    };
    for (const auto& c : noComponent)
        EXPECT_EQ(0u, ecfFindComponentIndex(c.product, c.name)) << c.product << " " << text(c.name);

    EXPECT_EQ(1u, ecfFindFunctionIndex(1, 3, "kivAssertFailed"));
    const struct { Uint32 product, component; const char* name; } noFunction[] = {
        {1, 3, "kivassertfailed"}, {1, 3, "KIVHFile::"}, {1, 3, nullptr},
        {0, 3, "kivAssertFailed"}, {1, 0, "kivAssertFailed"}, {1, 2, "kivAssertFailed"},
        {1, 19, "kivAssertFailed"}, {4, 3, "kivAssertFailed"},
        {1, 1, ""},                        /* no function slots */
        {1, 2, "CreateFileA"},             /* the catalogue names calls without A/W */
    };
    for (const auto& f : noFunction)
        EXPECT_EQ(0u, ecfFindFunctionIndex(f.product, f.component, f.name))
            << f.product << "." << f.component << " " << text(f.name);

    EXPECT_EQ(0u, ecfFindProductIndex(nullptr));
    EXPECT_EQ(0u, ecfFindProductIndex("no such product"));
    const char* first = ecfGetProductName(KIV_FID_MAKE(1, 0, 0, 0));
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1u, ecfFindProductIndex(first));              /* first match wins */
}

/* Every named function of the library's and the operating system's
 * components is found again at its own slot, whatever the group bits: no
 * name is used twice and no slot is skipped. */
TEST(Catalog, FunctionTablesRoundTrip)
{
    const struct { Uint32 component; const char* shortName; const char* longName; } comps[] = {
        {2, "COMP_SYSFUNCS", "operating system"}, {3, "COMP_KIVE", "KIVe"}};
    for (const auto& c : comps) {
        SCOPED_TRACE(c.shortName);
        const Uint32 nf = ecfGetNumFunctions(1, c.component);
        Uint32 named = 0;
        for (Uint32 f = 1; f < nf; ++f) {
            const Uint32 id = KIV_FID_MAKE(1, c.component, f % 8, f);
            const std::string name = text(ecfGetFunctionName(id));
            ASSERT_NE("<null>", name) << f;
            EXPECT_EQ(c.shortName, text(ecfGetComponentShortName(id)));
            EXPECT_EQ(c.longName, text(ecfGetComponentName(id)));
            if (name.empty())
                continue;
            ++named;
            EXPECT_EQ(f, ecfFindFunctionIndex(1, c.component, name.c_str())) << name;
        }
        if (c.component == 3) {
            EXPECT_EQ(204u, named) << "every function of the library has a name";
        }
    }
    /* Slots between the named system calls exist but carry no name. */
    EXPECT_EQ("", text(ecfGetFunctionName(0x08140002u)));
}

/* A few rows, keyed by the header's identifiers, so a header that drifts
 * from the catalogue fails here: both ends of each table and the examples
 * log readers meet most. */
TEST(Catalog, RepresentativeFunctionNames)
{
    EXPECT_EQ(KIVFN_BASE + 204, KIVFN_KIVGETPAGEFILEUSAGE);
    const FunctionCase rows[] = {
        {KIVFN_KIVASSERTFAILED, "kivAssertFailed"},
        {KIVFN_KIVHFILE_OPEN, "KIVHFile::open"},
        {KIVFN_KIVDIRECTORYLISTING_BEGIN, "KIVDirectoryListing::begin"},
        {KIVFN_KIVHIPCQUEUE_GET, "KIVHIPCQueue::get"},
        {KIVFN_KIVMEMALLOC, "kivMemAlloc"},
        {KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_DESTROY, "KIVHThreadSpecificDataInternal::destroy"},
        {KIVFN_KIVGETPAGEFILEUSAGE, "kivGetPagefileUsage"},
        {KIVOSFN_ACCESS, "access"},
        {KIVOSFN_CREATEFILE, "CreateFile"},
        {KIVOSFN_FINDFIRSTFILE, "FindFirstFile"},
        {KIVOSFN_WAITFORSINGLEOBJECT, "WaitForSingleObject"},
        {KIVOSFN_UNSPECIFIED_SYSTEM_FUNCTION, "unspecified_system_function"},
        {KIVOSFN_GETSIDSUBAUTHORITY, "GetSidSubAuthority"},
    };
    for (const FunctionCase& fn : rows)
        EXPECT_EQ(fn.name, text(ecfGetFunctionName(fn.id)));
    EXPECT_EQ(0x08140073u, KIVOSFN_FINDFIRSTFILE);
    EXPECT_EQ(0x08140185u, KIVOSFN_GETSIDSUBAUTHORITY);
}

TEST(Catalog, CodeZeroIsOk)
{
    EXPECT_EQ("OK", text(ecfErrorGetCodeName(ECF_OK)));
    EXPECT_EQ("OK", text(ecfErrorGetDescription(ECF_OK)));
    EXPECT_EQ(nullptr, ecfErrorGetSetName(ECF_OK));
    EXPECT_EQ(nullptr, ecfErrorGetProductName(ECF_OK));
    EXPECT_EQ(nullptr, ecfErrorGetComponentName(ECF_OK));
    /* Only the value 0 is success; bit 31 alone is set 0, index 0. */
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x80000000u));
    EXPECT_EQ(nullptr, ecfErrorGetDescription(0x80000000u));
}

TEST(Catalog, CodeValidationIgnoresSeverityAndReservedBits)
{
    EXPECT_EQ("ECF_PARTIAL_INFO", text(ecfErrorGetCodeName(0x90000006u)));
    EXPECT_EQ("setecf", text(ecfErrorGetSetName(0x1000000Cu)));

    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x907FFFFFu));
    EXPECT_EQ(nullptr, ecfErrorGetCodeName(0x90000000u));    /* index 0 */
    EXPECT_EQ(nullptr, ecfErrorGetSetName(0x90000000u));
    for (Uint32 set = 2; set <= 7; ++set) {
        const Uint32 code = 0x80000001u | (set << 28);
        EXPECT_EQ(nullptr, ecfErrorGetCodeName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetDescription(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetSetName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetProductName(code)) << set;
        EXPECT_EQ(nullptr, ecfErrorGetComponentName(code)) << set;
    }
}

/* Over the whole set: bit 31 and the reserved bits change no lookup, every
 * named code is an ECF_ name with a description, and no name is used twice.
 * A code of another component of the family exists with empty texts. */
TEST(Catalog, EveryCodeLooksUpTheSameWhateverItsSeverity)
{
    std::set<std::string> names;
    for (Uint32 index = 1; index <= kCodes; ++index) {
        SCOPED_TRACE(index);
        const Uint32 code = 0x90000000u + index;
        const std::string name = text(ecfErrorGetCodeName(code));
        const std::string description = text(ecfErrorGetDescription(code));
        EXPECT_EQ(name, text(ecfErrorGetCodeName(code ^ 0x80000000u)));
        EXPECT_EQ(name, text(ecfErrorGetCodeName(code | 0x0F800000u)));
        EXPECT_EQ(description, text(ecfErrorGetDescription(code ^ 0x80000000u)));
        EXPECT_EQ("setecf", text(ecfErrorGetSetName(code)));
        if (name.empty())
            continue;
        EXPECT_EQ(0u, name.rfind("ECF_", 0)) << name;
        EXPECT_FALSE(description.empty()) << name;
        EXPECT_TRUE(names.insert(name).second) << name << " twice";
    }
    EXPECT_EQ("", text(ecfErrorGetCodeName(0x90000009u)));
    EXPECT_EQ("", text(ecfErrorGetDescription(0x90000009u)));
    EXPECT_EQ(nullptr, ecfErrorGetProductName(0x90000009u));
    EXPECT_EQ(nullptr, ecfErrorGetComponentName(0x90000009u));
    EXPECT_EQ("", text(ecfErrorGetCodeName(0x1000050Du)));   /* warning 1293 */
}

/* Rows of each owner, keyed by the header's codes: the generic component
 * and the others are unnamed, the system's and the library's are named. */
TEST(Catalog, ReturnedCodesRoundTrip)
{
    const struct {
        Uint32      code;
        const char* name;
        const char* component;
        const char* description;
    } rows[] = {
        {ECF_PARTIAL_INFO, "ECF_PARTIAL_INFO", "", "Only partial information available"},
        {ECF_EXISTS, "ECF_EXISTS", "", "The object in question already exists."},
        {ECF_INVALID_PARAMETER, "ECF_INVALID_PARAMETER", "operating system", "Invalid parameter"},
        {ECF_NO_MEMORY, "ECF_NO_MEMORY", "operating system", "Insufficent memory"},
        {ECF_SEC_INVALID_PASSWORD, "ECF_SEC_INVALID_PASSWORD", "",
         "The user supplied password is incorrect"},
        {ECF_GTRACE_DUMP_HEADER_TRUNCATED, "ECF_GTRACE_DUMP_HEADER_TRUNCATED", "KIVe",
         "Trace dump file header is truncated"},
        {ECF_KIVTICK_TIME_VALUE_TOO_SMALL, "ECF_KIVTICK_TIME_VALUE_TOO_SMALL", "KIVe",
         "A time to tick conversion was not possible because the input time value was too "
         "small and not representable as a non-zero tick."},
    };
    EXPECT_EQ(0x10000006u, ECF_PARTIAL_INFO);
    EXPECT_EQ(0x9000000Cu, ECF_INVALID_PARAMETER);
    EXPECT_EQ(0x900004E7u, ECF_KIVTICK_TIME_VALUE_TOO_SMALL);
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.name, text(ecfErrorGetCodeName(c.code)));
        EXPECT_EQ(c.description, text(ecfErrorGetDescription(c.code)));
        EXPECT_EQ("", text(ecfErrorGetProductName(c.code)));
        EXPECT_EQ(c.component, text(ecfErrorGetComponentName(c.code)));
    }
}
