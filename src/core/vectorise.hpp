// Vectorisation helpers.
//
// QUESTRAND_IVDEP before a loop whose iterations write only their own
// elements: the vectoriser may take them side by side without proving that
// the arrays do not overlap (g++'s ivdep; nothing elsewhere).
//
// Wide clones (g++ on x86-64): the default build is the baseline x86-64
// instruction set (SSE2, 4 floats to a register).  A function marked
// QUESTRAND_WIDE_CLONE is compiled for AVX2 (8 floats to a register) with
// every call in it inlined into it (flatten), so that the loops it reaches
// are built for the wider registers too.  Each lane does the same IEEE
// single-precision operations in the same order as the scalar loop, with no
// fused multiply-add (the build contracts none, and the target adds no FMA):
// the same bits on either path.  The program takes the clones where the
// processor has AVX2 (wide_vectors).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define QUESTRAND_IVDEP _Pragma("GCC ivdep")
#else
#define QUESTRAND_IVDEP
#endif

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QUESTRAND_WIDE_CLONES 1
#define QUESTRAND_WIDE_CLONE [[gnu::target("avx2"), gnu::flatten]]
#else
#define QUESTRAND_WIDE_CLONES 0
#endif

// QUESTRAND_WIDE_VERSION(name, (params), (args)) defines name_wide, the wide
// clone of the function name_narrow, where the build makes clones.
// QUESTRAND_WIDEST(name, args...) calls the clone where wide_vectors(), else
// name_narrow.
#if QUESTRAND_WIDE_CLONES
#define QUESTRAND_WIDE_VERSION(name, params, args) \
  QUESTRAND_WIDE_CLONE auto name##_wide params { return name##_narrow args; }
#define QUESTRAND_WIDEST(name, ...) \
  (::questrand::wide_vectors() ? name##_wide(__VA_ARGS__) : name##_narrow(__VA_ARGS__))
#else
#define QUESTRAND_WIDE_VERSION(name, params, args)
#define QUESTRAND_WIDEST(name, ...) name##_narrow(__VA_ARGS__)
#endif

namespace questrand {

// Whether to take the wide clones: the build made them and the processor
// runs AVX2.  Decided once per process; QUESTRAND_VECTOR_WIDTH=baseline
// takes the baseline code everywhere (=avx2 takes the clones where they can
// run, as the default does).
bool wide_vectors();

}  // namespace questrand
