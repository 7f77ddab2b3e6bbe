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
ModuleFile describeModuleFile(const std::string& path);  // Fatal when unreadable
std::string sha256Hex(const std::string& bytes);         // sha256.cpp
std::string hostVersion();
// The extensions that the flags name and the processor lacks, as text
// ("" when it has them all); unknown flag bits count as lacking.
std::string missingExtensions(EntryFlags flags, const Processor& cpu);

} // namespace host

#endif // CIRCUIT_HOST_MACHINE_H
