// The words the outputs share for the data of a run.
#include <cstdio>

#include "text.h"
#include "words.h"

namespace host {

std::string flagsText(EntryFlags flags) {
    std::string s;
    auto add = [&](const std::string& t) { s += s.empty() ? t : " " + t; };
    for (const Extension& x : kExtensions)
        if (flags & x.flag) add(x.name);
    if (flags & ENTRY_SOA) add("SOA");
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(flags & kUnknownFlags));
    if (flags & kUnknownFlags) add(hex);
    return s.empty() ? "none" : s;
}

std::string flagsHex(EntryFlags flags) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(flags));
    return text;
}

const char* layoutName(EntryFlags flags) { return (flags & ENTRY_SOA) ? "SOA" : "AOS"; }

const char* arithmeticName(Arithmetic a) {
    switch (a) {
    case Arithmetic::X87: return "x87";
    case Arithmetic::Single: return "single";
    case Arithmetic::Fixed: return "fixed";
    }
    return "?";
}

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
    std::string lacks;
    for (const Extension& x : kExtensions)
        if (!(cpu.*x.has)) lacks += (lacks.empty() ? "" : " ") + std::string(x.name);
    std::string s;
    for (const std::string& x : cpu.extensions) s += (s.empty() ? "" : " ") + x;
    if (!lacks.empty()) s += (s.empty() ? "" : "; ") + std::string("lacks ") + lacks;
    return s;
}

std::string problemText(const ProblemSource& p) {
    if (p.fromFile) return "from " + (p.path == "-" ? std::string("standard input") : printable(p.path));
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
