/*
 * fuzz_trap.cpp - any bytes as a trap file, read by the kivtrap tool's
 * reader with the default sections and with every section, dumping the
 * memory regions' bytes.
 *
 * Code addresses are not named: naming would load the module files the
 * trap file lists, which are whatever the input says.
 */
#include "kivtrapread.h"

#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "fuzz_common.h"

namespace {

class NoNames : public kivtrapread::TrapNamer {
public:
    void setModules(const std::vector<kivtrapread::TrapModule>& modules,
                    const std::string& executable) override
    {
        // Names come from 260-byte fields: a field without its NUL gives
        // all 260 bytes, never more.
        for (const kivtrapread::TrapModule& m : modules)
            FUZZ_CHECK(m.name.size() <= 260);
        FUZZ_CHECK(executable.size() <= 260);
    }
    std::string name(uint64_t) override { return std::string(); }
};

FILE* sink()
{
    static FILE* f = fopen("/dev/null", "w");
    FUZZ_CHECK(f != nullptr);
    return f;
}

const unsigned kEverySection = 0xFFFFFu;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> bytes(data, data + size);
    NoNames names;
    for (unsigned sections : {(unsigned)KIV_TRAP_SECTIONS_DEFAULT, kEverySection}) {
        int rc = kivtrapread::readTrapFile(bytes, sections, true, names, sink());
        FUZZ_CHECK(rc == kivtrapread::kReadToEnd || rc == kivtrapread::kNotTrapOrTruncated);
        FUZZ_CHECK(size != 0 || rc == kivtrapread::kReadToEnd);
    }
    return 0;
}
