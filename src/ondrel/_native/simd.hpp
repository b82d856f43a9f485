// The vector level of the byte kernels, chosen once when a module is loaded: the best this
// CPU and OS offer, or a lower one named by ONDREL_SIMD (x86-64: portable, sse2, avx2, avx512;
// aarch64: portable, neon), so that the tests can run every path a machine has. Plain C++, no
// Python.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ondrel::simd {

enum class Level : uint8_t { kPortable, kSse2, kAvx2, kAvx512, kNeon };

inline constexpr const char* kNames[] = {"portable", "sse2", "avx2", "avx512", "neon"};

// The levels this architecture can have, lowest first.
#if defined(__x86_64__)
inline constexpr Level kLadder[] = {Level::kPortable, Level::kSse2, Level::kAvx2, Level::kAvx512};
#elif defined(__aarch64__)
inline constexpr Level kLadder[] = {Level::kPortable, Level::kNeon};
#else
inline constexpr Level kLadder[] = {Level::kPortable};
#endif

inline const char* name(Level l) { return kNames[static_cast<int>(l)]; }

// The best level usable here. AVX-512 needs BW (byte lanes) and VL (masks on 256-bit
// registers); libgcc's check includes the OS's consent to save the wider registers.
inline Level best() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
    return Level::kAvx512;
  if (__builtin_cpu_supports("avx2")) return Level::kAvx2;
  return Level::kSse2;
#elif defined(__aarch64__)
  return Level::kNeon;  // part of the architecture's baseline
#else
  return Level::kPortable;
#endif
}

// A name in ONDREL_SIMD lowers the level, never raises it past what the CPU has; an unknown
// or empty name, or another architecture's, changes nothing (the modules report the level in use as
// `_simd_level`).
inline Level detect() noexcept {
  const Level top = best();
  const char* want = std::getenv("ONDREL_SIMD");
  if (want == nullptr) return top;
  for (const Level l : kLadder) {
    if (std::strcmp(want, name(l)) == 0) return l;
    if (l == top) break;
  }
  return top;
}

// One value per loaded module, set before any of its code runs.
inline const Level kLevel = detect();

inline Level level() { return kLevel; }

// AVX-512 IFMA and VBMI beside the AVX-512 level: the float text's digit kernel. Ice Lake and
// Zen 4 on have them, the first AVX-512 CPUs do not.
inline bool detect_ifma() noexcept {
#if defined(__x86_64__)
  return kLevel == Level::kAvx512 && __builtin_cpu_supports("avx512ifma") &&
         __builtin_cpu_supports("avx512vbmi");
#else
  return false;
#endif
}
inline const bool kIfma = detect_ifma();

inline bool ifma() { return kIfma; }

}  // namespace ondrel::simd
