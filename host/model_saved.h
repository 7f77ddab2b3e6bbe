// The data of saved runs as --compare reads them back and lines them up:
// beside model.h, which holds the data of a run as it is measured.
#ifndef CIRCUIT_HOST_MODEL_SAVED_H
#define CIRCUIT_HOST_MODEL_SAVED_H

#include <cmath>
#include <string>
#include <vector>

#include "model.h"

namespace host {

struct SavedEntry {
    int index = 0;
    std::string name, status;
    double medianClocks = NAN, medianNs = NAN;   // NaN: not timed
    bool substitute = false;
    std::vector<double> callNs;                   // empty before schema 2
};

struct SavedRun {
    std::string file, label;   // label: the file's name without folder and .json
    std::string cpu, os, module, sha256;
    int hostBits = 0;
    double coreGHz = 0;
    std::string name;          // the run's --name
    std::string problem;       // "seed 1", "file p.txt"
    bool emulated = false;
    std::vector<SavedEntry> entries;
};

// Saved runs lined up by entry index (saved.h): each row holds each run's
// value or NaN.
struct ComparedRow {
    int index = 0;
    std::string name;
    std::vector<double> value;     // median per repetition, NaN: not timed
    std::vector<bool> present;
    // Per run after the first: the two-sided p-value of a Mann-Whitney U
    // test of its calls against the first run's (NaN: too few calls saved).
    std::vector<double> p;
};

// A ratio is a change when the U test's p-value is below kSignificance and
// it differs from 1 by more than the noise threshold; else it is within the
// noise (a few hundred calls make even a 1 % shift of a busy machine's
// clock significant, which is no change of the code).
constexpr double kSignificance = 0.05;
inline bool isChange(double p, double ratio) {
    return p < kSignificance && std::fabs(ratio - 1) > kNoiseThreshold;
}

struct Comparison {
    std::vector<SavedRun> runs;    // the first is the base
    bool clocks = true;            // every run has core clocks
    std::vector<ComparedRow> rows;
    std::vector<std::string> warnings; // how the runs differ besides their times
};

} // namespace host

#endif // CIRCUIT_HOST_MODEL_SAVED_H
