// The printf dialect that the C library's vsnprintf speaks, for format
// checks on our own printf-like functions.
#pragma once

#include <cstdio>

#ifdef __MINGW_PRINTF_FORMAT
// mingw-w64 reads a plain "printf" attribute as the msvcrt dialect (no %zu,
// %lld rejected), but in C++11 and later its stdio is the C99 one; stdio.h
// names the dialect actually in use.
#define PLATFORM_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define PLATFORM_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif
