// The words the outputs share for the data of a run.
#include <cstdio>

#include "text.h"
#include "words.h"

namespace host {

std::string statusText(Status s) {
    switch (s) {
    case Status::Ok: return "ok";
    case Status::Failed: return "FAILED";
    case Status::Skipped: return "skipped";
    case Status::Unchecked: return "unchecked";
    case Status::Crashed: return "crashed";
    case Status::TimedOut: return "timed out";
    }
    return "?";
}

std::string checkText(const EntryResult& e) {
    if (e.status == Status::Crashed) return "crashed: " + e.reason;
    if (e.status == Status::Ok && e.check.exact) return e.substitute ? "exact, substitute" : "exact";
    if (e.status == Status::TimedOut) return "timed out " + e.reason;
    if (e.substitute) return statusText(e.status) + ", substitute";
    const bool note = e.status == Status::Failed || e.status == Status::Unchecked ||
                      (e.status == Status::Skipped && e.selected);
    return statusText(e.status) + (note ? "*" : "");
}

std::string statusKey(Status s) {
    switch (s) {
    case Status::Failed: return "failed";
    case Status::Crashed: return "crashed";
    case Status::TimedOut: return "timed out";
    default: return statusText(s);
    }
}

std::string processorText(const Processor& cpu) {
    if (cpu.aarch64)
        return cpu.vendor + " " + cpu.brand + ", revision " + std::to_string(cpu.stepping) +
               " (aarch64): none of the entries' x86 extensions, so every entry runs the module's C++ code"
               " (with --all, marked substitute)";
    if (!cpu.x86) return "no x86 processor identification (CPUID): no entry is known to run";
    std::string s = cpu.vendor;
    if (!cpu.brand.empty()) s += " " + cpu.brand;
    return s + " (family " + std::to_string(cpu.family) + ", model " + std::to_string(cpu.model) +
           ", stepping " + std::to_string(cpu.stepping) + ")";
}

std::string extensionsText(const Processor& cpu) {
    std::string has, lacks;
    auto add = [](std::string& s, const char* t) { s += s.empty() ? t : std::string(" ") + t; };
    add(cpu.fpu ? has : lacks, "FPU");
    add(cpu.mmx ? has : lacks, "MMX");
    add(cpu.sse ? has : lacks, "SSE");
    add(cpu.amd3dnow ? has : lacks, "3DNow!");
    std::string s;
    for (const std::string& x : cpu.extensions) s += (s.empty() ? "" : " ") + x;
    if (!lacks.empty()) s += (s.empty() ? "" : "; ") + std::string("lacks ") + lacks;
    return s;
}

std::string problemText(const ProblemSource& p) {
    if (p.fromFile) return "from " + (p.path == "-" ? std::string("standard input") : displayPath(p.path));
    return "random, seed " + std::to_string(p.seed) + " (repeat with --seed " +
           std::to_string(p.seed) + ")";
}

std::string clockText(const Machine& m) {
    char text[64];
    if (m.coreGHz <= 0) return "core clock not measured: " + m.clockNote;
    std::snprintf(text, sizeof text, "core clock %.2f GHz (measured during the run)", m.coreGHz);
    return text;
}

std::string savedRunText(const SavedRun& r) {
    std::string s = r.cpu.empty() ? "unknown processor" : r.cpu;
    if (r.coreGHz > 0) s += format(" at %.2f GHz", r.coreGHz);
    s += "; " + r.os + "; " + (r.hostBits > 0 ? "host " + std::to_string(r.hostBits) + "-bit" : "host of unknown word size") +
         "; " + r.module;
    if (r.emulated) s += "; EMULATED";
    if (r.sha256.size() >= 12) s += " (SHA-256 " + r.sha256.substr(0, 12) + "...)";
    return s;
}

} // namespace host
