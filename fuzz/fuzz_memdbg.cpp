/*
 * fuzz_memdbg.cpp - KIVEMEMDBG values: the split into path and level and
 * the level's choice, against a plain model of the rules.
 *
 * The start-up reads the variable once and writes kivememdbg.log into the
 * directory it names; the target calls the decision alone, so that no
 * input makes it write files anywhere.
 */
#include "kivmem.h"

#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "kivinternal.h"


namespace {

const Uint32 kPathSize = 261;   /* g_szMemDebugLogPath */

struct Choice {
    bool        valid = false;
    std::string path;
    Uint32      mode = KIVMEM_MODE_IDLE;
    Uint32      flags = 0;
    Uint8       ffdc = 0;
};

/* The rules: the value cut to 259 characters, split at commas with empty
 * fields skipped; the first field (cut to 259) is the path; valid with
 * exactly two fields, the second (cut to 18) a level name in any case. */
Choice model(const std::string& value)
{
    std::string v = value.substr(0, 259);
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= v.size()) {
        size_t comma = v.find(',', start);
        if (comma == std::string::npos)
            comma = v.size();
        if (comma > start)
            fields.push_back(v.substr(start, comma - start));
        start = comma + 1;
    }
    Choice c;
    if (!fields.empty())
        c.path = fields[0].substr(0, 259);
    if (fields.size() != 2)
        return c;
    const std::string level = fields[1].substr(0, 18);
    static const struct {
        const char* name;
        Uint32      mode, flags;
        Uint8       ffdc;
    } kLevels[] = {{"FULL", KIVMEM_MODE_FULL, 0x0F, 0},  {"CORRUPTIONS", KIVMEM_MODE_FULL, 0x0F, 0},
                   {"LEAKS", KIVMEM_MODE_FULL, 0x2F, 1}, {"ALL", KIVMEM_MODE_FULL, 0x2F, 1},
                   {"LIGHT", KIVMEM_MODE_LIGHT, 0x0B, 0}};
    for (const auto& l : kLevels) {
        if (strcasecmp(level.c_str(), l.name) == 0) {
            c.valid = true;
            c.mode = l.mode;
            c.flags = l.flags;
            c.ffdc = l.ffdc;
        }
    }
    return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string value(reinterpret_cast<const char*>(data), size);
    value = value.c_str();   /* an environment value ends at its first NUL */
    std::unique_ptr<char[]> text(new char[value.size() + 1]);
    memcpy(text.get(), value.c_str(), value.size() + 1);

    std::unique_ptr<char[]> path(new char[kPathSize]);
    Uint32 mode = 0, flags = 0;
    Uint8 ffdc = 0xEE;
    const bool valid = kivMemReadDebugValue(text.get(), path.get(), kPathSize, &mode, &flags, &ffdc);

    const Choice expected = model(value);
    FUZZ_CHECK(valid == expected.valid);
    FUZZ_CHECK(path.get() == expected.path);
    FUZZ_CHECK(mode == expected.mode && flags == expected.flags && ffdc == expected.ffdc);
    return 0;
}
