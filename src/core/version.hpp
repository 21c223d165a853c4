// The program's version, set by the build (CMake's project version).
#pragma once

#ifndef QUESTRAND_VERSION
#define QUESTRAND_VERSION "unknown"
#endif

namespace questrand {

inline constexpr const char* kVersion = QUESTRAND_VERSION;

}  // namespace questrand
