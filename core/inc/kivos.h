/*
 * kivos.h - the one header through which the library reaches the operating
 * system.  On Windows that is the real Win32 API; everywhere else it is the
 * library's own Win32 subset implemented on POSIX (compat/), so the code
 * above this line is the same on both platforms.
 */
#ifndef KIVOS_H
#define KIVOS_H

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <process.h>
#else
#  include "kivcompat.h"
#endif

#endif /* KIVOS_H */
