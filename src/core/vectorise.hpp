// QUESTRAND_IVDEP before a loop whose iterations write only their own
// elements: the vectoriser may take them side by side without proving that
// the arrays do not overlap (g++'s ivdep; nothing elsewhere).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define QUESTRAND_IVDEP _Pragma("GCC ivdep")
#else
#define QUESTRAND_IVDEP
#endif
