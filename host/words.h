// The words every output uses for the data of a run: flags, layouts and
// arithmetic, statuses, the check cell, the processor, the problem, the core
// clock, a saved run.
#ifndef CIRCUIT_HOST_WORDS_H
#define CIRCUIT_HOST_WORDS_H

#include <string>

#include "model_saved.h"

namespace host {

std::string flagsText(EntryFlags flags);          // "FPU MMX SOA"
std::string flagsHex(EntryFlags flags);           // "0x00B"
const char* layoutName(EntryFlags flags);         // "SOA" or "AOS"
const char* arithmeticName(Arithmetic a);         // "x87", "single", "fixed"
// "ok", "FAILED", "skipped", "unchecked", "crashed", "timed out".
std::string statusText(Status s);
// The status as JSON and saved runs name it: "ok", "failed", "timed out".
std::string statusKey(Status s);
// The check cell: "ok", "FAILED*", "crashed: illegal instruction", ...
std::string checkText(const EntryResult& e);
std::string processorText(const Processor& cpu);
std::string extensionsText(const Processor& cpu);
std::string problemText(const ProblemSource& p);
std::string clockText(const Machine& m);
// A saved run in one line: processor, clock, system, host, module.
std::string savedRunText(const SavedRun& r);

} // namespace host

#endif // CIRCUIT_HOST_WORDS_H
