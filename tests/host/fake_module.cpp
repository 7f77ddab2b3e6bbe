// A stand-in circuit-2 module for the host's tests, built in several broken
// variants by one preprocessor switch (FAKE_*). The good variant computes
// every entry correctly in its declared layout and arithmetic: x87 entries
// with double sums, SIMD entries with single-precision chains (the bit-equal
// groups share one routine), fixed-point entries with the Q15/Q10/Q9 rules.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#ifdef FAKE_FAULT_TABLE
#include <csignal>
#ifndef _WIN32
#include <unistd.h>
#endif
#endif

#include "circuit.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef FAKE_CIRCUIT
#define FAKE_CIRCUIT 2
#endif
#ifndef FAKE_COUNT
#define FAKE_COUNT 14
#endif

namespace {

const EntrySpec kRecords[14] = {
    {"C\x8C\xBE\x8C\xEA fake", ENTRY_FPU},
    {"x87 one", ENTRY_FPU},
    {"x87 two", ENTRY_FPU},
    {"x87 three", ENTRY_FPU},
    {"x87 four", ENTRY_FPU},
    {"x87 soa", ENTRY_FPU | ENTRY_SOA},
    {"single aos", ENTRY_MMX | ENTRY_3DNOW},
    {"single soa a", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA},
    {"single soa b", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA},
    {"single soa c", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA},
    {"sse soa a", ENTRY_SSE | ENTRY_SOA},
    {"sse soa b", ENTRY_SSE | ENTRY_SOA},
    {"fixed aos", ENTRY_FPU | ENTRY_MMX},
    {"fixed soa", ENTRY_FPU | ENTRY_MMX | ENTRY_SOA},
};

float coefficient(const float* c, bool soa, int i, int j) {
    return soa ? c[SOA_ROW_FLOATS * j + i] : c[INPUT_COUNT * i + j];
}
float input(const float* x, bool soa, int j) { return soa ? x[SOA_LANES * j] : x[j]; }

void x87(const float* c, const float* x, float* y, bool soa) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        double s = 0;
        for (int j = 0; j < INPUT_COUNT; ++j)
            s += static_cast<double>(coefficient(c, soa, i, j)) * input(x, soa, j);
        y[i] = static_cast<float>(s);
    }
}

void single(const float* c, const float* x, float* y, bool soa) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        volatile float s = 0;
        for (int j = 0; j < INPUT_COUNT; ++j) {
            volatile float p = coefficient(c, soa, i, j) * input(x, soa, j);
            s = s + p;
        }
        y[i] = s;
    }
}

int16_t toFixed(float v, float scale) {
    double r = std::nearbyint(static_cast<double>(v) * scale);
    return (r < -32768 || r > 32767 || std::isnan(r)) ? int16_t(-32768) : static_cast<int16_t>(r);
}

void fixed(const float* c, const float* x, float* y, bool soa) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        uint16_t s = 0;
        for (int j = 0; j < INPUT_COUNT; ++j) {
            int32_t p = toFixed(coefficient(c, soa, i, j), 1024.0f) * toFixed(input(x, soa, j), 32768.0f);
            s = static_cast<uint16_t>(s + static_cast<uint16_t>(p >> 16));
        }
        y[i] = static_cast<float>(static_cast<int16_t>(s)) / 512.0f;
    }
}

#ifdef FAKE_FAULT_TABLE
// The fault table's stand-in: CIRCUIT_FAKE_FAULT names the one fault this
// run plants; the entry faults are entry 1's, after its output is written.
const char* plantedFault() {
    const char* f = std::getenv("CIRCUIT_FAKE_FAULT");
    return f ? f : "";
}
bool planted(const char* name) { return std::strcmp(plantedFault(), name) == 0; }

struct AtLoad {
    AtLoad() {
        if (planted("print")) std::puts("a module that prints when loaded");
#ifndef _WIN32
        if (planted("ignore_sigchld")) std::signal(SIGCHLD, SIG_IGN);
#endif
    }
    ~AtLoad() {
        if (planted("print")) std::puts("a module that prints when unloaded");
    }
} atLoad;

void entryFault(float* y) {
    if (planted("segv")) {
        volatile float* nowhere = nullptr;
        *nowhere = 1.0f;
    } else if (planted("spin") || planted("close_spin")) {
#ifndef _WIN32
        if (planted("close_spin"))
            for (int fd = 3; fd < 1024; ++fd) close(fd);
#endif
        for (volatile int spin = 0;; spin = spin + 1) {
        }
    } else if (planted("ud2")) {
#if defined(__aarch64__)
        __asm__ volatile("udf #0");
#else
        __asm__ volatile("ud2");
#endif
    } else if (planted("exit0")) {
        std::exit(0);
    } else if (planted("throw")) {
        throw std::runtime_error("planted");
    } else if (planted("bad_alloc")) {
        throw std::bad_alloc();
    } else if (planted("slow")) { // 20 ms a call, whatever the count
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        while (std::chrono::steady_clock::now() < end) {
        }
    } else if (planted("far_write")) {
        y[200] = 1.0f;
    } else if (planted("abort") || planted("ignore_sigchld")) {
        std::abort();
#ifndef _WIN32
    } else if (planted("helper")) {
        if (fork() == 0) { // a helper that holds every inherited descriptor
            sleep(60);
            _exit(0);
        }
    } else if (planted("sigterm") || planted("sighup")) {
        kill(getppid(), planted("sigterm") ? SIGTERM : SIGHUP);
        for (volatile int spin = 0;; spin = spin + 1) {
        }
#endif
    }
}
#endif

} // namespace

FAKE_EXPORT int32_t CIRCUIT_CALL getCircuitSignature(void) { return FAKE_CIRCUIT; }

FAKE_EXPORT char* CIRCUIT_CALL getCreatorSignature(char* buffer) {
    std::strcpy(buffer, "Fake 2001/02/03");
#ifdef FAKE_FAULT_TABLE
    if (planted("print")) std::puts("a module that prints when queried");
#endif
    return buffer;
}

FAKE_EXPORT int32_t CIRCUIT_CALL getEntryCount(void) {
#ifdef FAKE_FAULT_TABLE
    if (planted("exit_query")) std::exit(0);
#endif
    return FAKE_COUNT;
}

FAKE_EXPORT void CIRCUIT_CALL getEntrySpecs(EntrySpec* records) {
    std::memcpy(records, kRecords, sizeof kRecords);
#ifdef FAKE_SPECS_OVERRUN
    std::memset(records + 14, 0, sizeof(EntrySpec)); // one record more than announced
#endif
}

#ifndef FAKE_NO_RUN_ENTRY
FAKE_EXPORT void CIRCUIT_CALL runEntry(uint32_t index, const float* c, const float* x, float* y,
                                       int32_t count) {
    if (index >= 14 || count <= 0) return;
    const bool soa = (kRecords[index].flags & ENTRY_SOA) != 0;
    for (int32_t n = 0; n < count; ++n) {
        if (index <= 5)
            x87(c, x, y, soa);
        else if (index <= 11)
            single(c, x, y, soa);
        else
            fixed(c, x, y, soa);
        if (index >= 10 && index <= 11) y[18] = y[19] = 0; // whole 4-wide groups
    }
#ifdef FAKE_WRONG_ENTRY
    if (index == 2) y[5] += 0.25f;
#endif
#ifdef FAKE_FAULT_TABLE
    if (index == 1) entryFault(y);
#endif
#ifdef FAKE_FAULTS // entries that fault in each way a host must survive
    if (index == 0 && count == 1) {
        std::puts("a module that prints"); // harmless, but not into the results
        std::fflush(stdout);
    } else if (index == 1) {
        volatile float* nowhere = nullptr;
        *nowhere = 1.0f;
    } else if (index == 2) {
        for (volatile int spin = 0;; spin = spin + 1) {
        }
    } else if (index == 4) {
#if defined(__aarch64__)
        __asm__ volatile("udf #0");
#else
        __asm__ volatile("ud2");
#endif
    } else if (index == 5) {
        std::exit(0);
    }
#endif
#ifdef FAKE_SPILL
    if (index == 4) y[18] = 1.0f; // one float past an AOS output block
#endif
}
#endif
