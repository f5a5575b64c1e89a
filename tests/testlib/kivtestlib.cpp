/*
 * kivtestlib.cpp - a small shared library for the dynamic-library tests:
 * a few plain C exports with known results, and a load counter that shows
 * whether two loads share one copy of the library.
 */
#if defined(_WIN32)
#  define KIVTESTLIB_EXPORT extern "C" __declspec(dllexport)
#  define KIVTESTLIB_LOCAL  extern "C"
#else
#  define KIVTESTLIB_EXPORT extern "C" __attribute__((visibility("default")))
#  define KIVTESTLIB_LOCAL  extern "C" __attribute__((visibility("hidden")))
#endif

namespace {
int g_calls = 0;
}

KIVTESTLIB_EXPORT int kivtestlibAnswer(void) { return 42; }

KIVTESTLIB_EXPORT int kivtestlibAdd(int a, int b) { return a + b; }

/* How many times it was called in this copy of the library. */
KIVTESTLIB_EXPORT int kivtestlibCount(void) { return ++g_calls; }

/* Not exported: must stay invisible to lookups. */
KIVTESTLIB_LOCAL int kivtestlibHidden(void) { return 7; }
