// The machine a run is made on: the processor (CPUID, common/cpuid_probe.h), the
// operating system and word sizes, the module file's size and hash, and
// which entries this processor can run.
#ifndef CIRCUIT_HOST_MACHINE_H
#define CIRCUIT_HOST_MACHINE_H

#include <string>

#include "circuit.h"
#include "model.h"

namespace host {

Processor detectProcessor();
Machine describeMachine();
// Why the host seems to run under an emulator, "" when it does not: the
// processor CPUID describes against the one the kernel reports in
// `cpuinfo` (the text of /proc/cpuinfo; "" where there is none).
std::string emulationEvidence(const Processor& cpu, const std::string& cpuinfo);
ModuleFile describeModuleFile(const std::string& path);  // Fatal when unreadable
std::string sha256Hex(const std::string& bytes);         // sha256.cpp
std::string hostVersion();
std::string hostName();     // the machine's network name, "" when it has none
std::string utcNow();       // "2026-12-09T08:50:00Z"
// The extensions that the flags name and the processor lacks, as text
// ("" when it has them all); unknown flag bits count as lacking.
std::string missingExtensions(EntryFlags flags, const Processor& cpu);

} // namespace host

#endif // CIRCUIT_HOST_MACHINE_H
