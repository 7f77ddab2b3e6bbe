// SplitMix64: a small generator with the same sequence on every platform and
// compiler, so that a seed printed on one machine reproduces the data on
// another. The host's random problems and checkasm's data sets use it.
#ifndef CIRCUIT_COMMON_SPLITMIX64_H
#define CIRCUIT_COMMON_SPLITMIX64_H

#include <stdint.h>

inline uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

#endif // CIRCUIT_COMMON_SPLITMIX64_H
