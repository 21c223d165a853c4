// Vectorisation helpers.
//
// QUESTRAND_IVDEP before a loop whose iterations write only their own
// elements: the vectoriser may take them side by side without proving that
// the arrays do not overlap (g++'s ivdep; nothing elsewhere).
//
// AVX2 clones (g++ on x86-64): the default build is the baseline x86-64
// instruction set (SSE2, 4 floats to a register).  A function marked
// QUESTRAND_AVX2_CLONE is compiled for AVX2 (8 floats to a register) with
// every call in it inlined into it (flatten), so that the loops it reaches
// are built for the wider registers too.  Each lane does the same IEEE
// single-precision operations in the same order as the scalar loop, with no
// fused multiply-add (the build contracts none, and the target adds no FMA):
// the same bits on either path.  The program takes the clones where the
// processor has AVX2 (avx2_clones_taken).
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define QUESTRAND_IVDEP _Pragma("GCC ivdep")
#else
#define QUESTRAND_IVDEP
#endif

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QUESTRAND_AVX2_CLONES 1
#define QUESTRAND_AVX2_CLONE [[gnu::target("avx2"), gnu::flatten]]
#else
#define QUESTRAND_AVX2_CLONES 0
#endif

// QUESTRAND_AVX2_VERSION(name, (params), (args)) defines name_avx2, the AVX2
// clone of the function name_baseline, where the build makes clones.
// QUESTRAND_ON_THIS_CPU(name, args...) calls the clone where
// avx2_clones_taken(), else name_baseline.
#if QUESTRAND_AVX2_CLONES
#define QUESTRAND_AVX2_VERSION(name, params, args) \
  QUESTRAND_AVX2_CLONE auto name##_avx2 params { return name##_baseline args; }
#define QUESTRAND_ON_THIS_CPU(name, ...) \
  (::questrand::avx2_clones_taken() ? name##_avx2(__VA_ARGS__) : name##_baseline(__VA_ARGS__))
#else
#define QUESTRAND_AVX2_VERSION(name, params, args)
#define QUESTRAND_ON_THIS_CPU(name, ...) name##_baseline(__VA_ARGS__)
#endif

namespace questrand {

// Whether to take the AVX2 clones: the build made them and the processor
// runs AVX2.  Decided once per process; QUESTRAND_VECTOR_WIDTH=baseline
// takes the baseline code everywhere (=avx2 takes the clones where they can
// run, as the default does).
bool avx2_clones_taken();

}  // namespace questrand
