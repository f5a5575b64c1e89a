/*
 * kivbase.h - fixed-width types, export macros and version words shared by
 * every public header of the library.
 */
#ifndef KIVBASE_H
#define KIVBASE_H

#include <stddef.h>
#include <stdint.h>

typedef uint8_t  Uint8;
typedef uint16_t Uint16;
typedef uint32_t Uint32;
typedef uint64_t Uint64;
typedef int8_t   Sint8;
typedef int16_t  Sint16;
typedef int32_t  Sint32;
typedef int64_t  Sint64;

/* Symbols of the library are hidden unless marked. */
#if defined(_WIN32)
#  if defined(KIVE_BUILD)
#    define KIV_API __declspec(dllexport)
#  else
#    define KIV_API __declspec(dllimport)
#  endif
#  define KIV_LOCAL
#else
#  define KIV_API   __attribute__((visibility("default")))
#  define KIV_LOCAL __attribute__((visibility("hidden")))
#endif

#ifdef __cplusplus
#  define KIV_EXTERN_C extern "C"
#else
#  define KIV_EXTERN_C
#endif

/* Version word of parameter objects and information records: constructors
 * write the current one, operations refuse anything below the minimum. */
#define KIV_VERSION_CURRENT 0x09070000u
#define KIV_VERSION_MIN     20040702u /* 0x0131CBFE */

#endif /* KIVBASE_H */
