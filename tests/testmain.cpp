/*
 * testmain.cpp - main() of every test program.  "--kiv-child NAME ARGS..."
 * runs a registered child function instead of the tests, so that a test can
 * start real processes running its own code.
 */
#include "kivtest.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace {
std::map<std::string, KivTestChildFn>& registry()
{
    static std::map<std::string, KivTestChildFn> r;
    return r;
}
} // namespace

KivTestChildRegistrar::KivTestChildRegistrar(const char* name, KivTestChildFn fn)
{
    registry()[name] = fn;
}

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--kiv-child") == 0) {
        auto it = registry().find(argv[2]);
        if (it == registry().end()) {
            std::fprintf(stderr, "unknown child %s\n", argv[2]);
            return 125;
        }
        std::vector<std::string> args(argv + 3, argv + argc);
        return it->second(args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
