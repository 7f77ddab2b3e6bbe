// Unit tests of the host's own parts: the exact reference, the output check,
// the guarded blocks, problem files, seeded problems, name conversion, the
// command line, the answer of an entry's process, saved results and hashes.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "answer.h"
#include "baselines.h"
#include "blocks.h"
#include "check.h"
#if defined(__i386__) || defined(__x86_64__)
#include "cycles.h"
#endif
#include "errors.h"
#include "finish.h"
#include "fpstate.h"
#include "isolate.h"
#include "json.h"
#include "machine.h"
#include "measure.h"
#include "module.h"
#include "options.h"
#include "plan.h"
#include "problem.h"
#include "report.h"
#include "rounds.h"
#include "runner.h"
#include "sandbox.h"
#include "saved.h"
#include "svg.h"
#include "stats.h"
#include "text.h"
#include "words.h"
#include "work.h"

namespace {

circuit::Problem zeros() {
    circuit::Problem p;
    std::memset(&p, 0, sizeof p);
    return p;
}

// Sums whose terms cancel across the whole exponent range come out exact.
TEST(ExactReference, CancellationAcrossTheExponentRange) {
    circuit::Problem p = zeros();
    for (float& x : p.x) x = 1.0f;
    p.m[0][1] = std::ldexp(1.0f, 60);
    p.m[0][34] = -std::ldexp(1.0f, 60);
    p.m[0][35] = 1.0f; // lost by any double-precision sum that adds it to 2^60 first
    // 2^254 - 2^254 + 2^-298: the largest and the smallest products.
    p.x[2] = p.x[3] = std::ldexp(1.0f, 127);
    p.m[1][2] = std::ldexp(1.0f, 127);
    p.m[1][3] = -std::ldexp(1.0f, 127);
    p.x[4] = std::ldexp(1.0f, -149);
    p.m[1][4] = std::ldexp(1.0f, -149);
    // Mixed signs that borrow across limbs: 3 - 2^-20 - 3 = -2^-20.
    p.m[2][0] = 3.0f;
    p.m[2][5] = -std::ldexp(1.0f, -20);
    p.m[2][6] = -3.0f;
    const host::Reference r = host::exactReference(p);
    EXPECT_EQ(r.y[0], 1.0L);
    EXPECT_EQ(r.y[1], std::ldexp(1.0L, -298));
    EXPECT_EQ(r.y[2], -std::ldexp(1.0L, -20));
    EXPECT_EQ(r.y[3], 0.0L);
    EXPECT_EQ(r.absSum[0], std::ldexp(1.0L, 61) + 1);
}

TEST(ExactReference, AgreesWithAWideSumOnRandomProblems) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        const circuit::Problem p = host::randomProblem(seed);
        const host::Reference r = host::exactReference(p);
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            long double s = 0;
            for (int j = 0; j < INPUT_COUNT; ++j) s += static_cast<long double>(p.m[i][j]) * p.x[j];
            EXPECT_NEAR(static_cast<double>(r.y[i]), static_cast<double>(s), 1e-13) << "row " << i;
        }
        EXPECT_TRUE(r.fixedInRange);
    }
}

// Output of every row rounded once from the reference: what a good x87 entry gives.
void rounded(const host::Reference& r, float* y) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) y[i] = static_cast<float>(r.y[i]);
}

TEST(CheckOutput, AcceptsRoundingAndRejectsAnythingBeyondTheBound) {
    const circuit::Problem p = host::randomProblem(11);
    const host::Reference r = host::exactReference(p);
    float y[OUTPUT_COUNT];
    rounded(r, y);
    for (EntryFlags flags : {ENTRY_FPU, ENTRY_SSE | ENTRY_SOA, ENTRY_MMX | ENTRY_3DNOW}) {
        host::Check c = host::checkOutput(flags, y, r);
        EXPECT_TRUE(c.ok) << flags << ": " << c.reason;
        EXPECT_LT(c.worstRatio, 0.01);
    }
    const double bound = 37 * std::ldexp(1.0, -24) * static_cast<double>(r.absSum[4]);
    y[4] += static_cast<float>(2 * bound);
    host::Check c = host::checkOutput(ENTRY_FPU, y, r);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.reason.rfind("y[4] = ", 0), 0u) << c.reason;
    EXPECT_GT(c.worstRatio, 1.5);
    y[4] = std::nanf("");
    EXPECT_FALSE(host::checkOutput(ENTRY_FPU, y, r).ok);
}

TEST(CheckOutput, FixedPointWrapsAndLeavesOutOfRangeValuesUnchecked) {
    circuit::Problem p = zeros();
    for (auto& row : p.m)
        for (float& m : row) m = 2.0f;
    for (float& x : p.x) x = 0.9f;
    const host::Reference r = host::exactReference(p);
    float y[OUTPUT_COUNT];
    for (float& v : y) v = -63.2421875f; // 33156 / 512 wrapped by 2^16
    EXPECT_TRUE(host::checkOutput(ENTRY_FPU | ENTRY_MMX, y, r).ok);
    for (float& v : y) v = 64.0f; // saturated instead of wrapped: off by far more than quantisation
    EXPECT_FALSE(host::checkOutput(ENTRY_FPU | ENTRY_MMX, y, r).ok);

    p.x[0] = 1.0f; // converts to -32768, outside what the check models
    const host::Reference out = host::exactReference(p);
    EXPECT_FALSE(out.fixedInRange);
    host::Check c = host::checkOutput(ENTRY_FPU | ENTRY_MMX | ENTRY_SOA, y, out);
    EXPECT_TRUE(c.unchecked);
    EXPECT_FALSE(host::checkOutput(ENTRY_FPU, y, out).ok); // float entries still checked
}

TEST(EntryBlocks, SeeWritesOutsideTheOutputFloatsOfTheLayout) {
    const circuit::Problem p = host::randomProblem(5);
    host::EntryBlocks aos(ENTRY_FPU, p), soa(ENTRY_SSE | ENTRY_SOA, p);
    EXPECT_EQ(aos.unwritten().size(), size_t{OUTPUT_COUNT});
    for (int i = 0; i < 18; ++i) aos.output()[i] = soa.output()[i] = 1.0f;
    EXPECT_TRUE(aos.unwritten().empty());
    // One write per row, into a fresh output: where it lands, what it says.
    enum Block { Output, Coefficients, Input };
    const struct {
        bool soa;
        Block block;
        int index;
        const char* damage;
    } rows[] = {
        {false, Output, 17, ""},
        {true, Output, 19, ""}, // the SOA pads belong to the block
        {false, Output, 18, "wrote past its 18 output floats (float 18)"},
        {true, Output, 20 + host::EntryBlocks::kGuardAfter - 1, "wrote past its 20 output floats (float 31)"},
        {true, Output, -1, "wrote before its output block (float -1)"},
        {false, Output, -host::EntryBlocks::kGuardBefore, "wrote before its output block (float -64)"},
        {false, Input, 35, "changed its input block (float 35)"},
        {true, Input, 4 * 9 + 2, "changed its input block (float 38)"},
        {true, Coefficients, 20 * 7 + 3, "changed its coefficient block (float 143)"},
    };
    for (const auto& row : rows) {
        host::EntryBlocks& b = row.soa ? soa : aos;
        b.resetOutput();
        float* target = row.block == Output ? b.output() : const_cast<float*>(row.block == Input ? b.input()
                                                                                              : b.coefficients());
        const float saved = target[row.index];
        target[row.index] = 0.5f;
        EXPECT_EQ(b.damage(), row.damage) << row.index;
        target[row.index] = saved;
    }
    // The SOA layout: transposed rows of 20 with zero pads, four equal lanes.
    EXPECT_EQ(soa.coefficients()[20 * 7 + 3], p.m[3][7]);
    EXPECT_EQ(soa.coefficients()[20 * 7 + 18], 0.0f);
    EXPECT_EQ(soa.input()[4 * 9 + 2], p.x[9]);
}

// On the heap, wherever the allocator puts them (8-byte boundaries on 32-bit
// Windows), the blocks start on 16-byte boundaries.
TEST(EntryBlocks, SoaBlocksStartOn16ByteBoundaries) {
    const circuit::Problem p = zeros();
    std::vector<std::unique_ptr<host::EntryBlocks>> all;
    for (int i = 0; i < 16; ++i) {
        all.emplace_back(new host::EntryBlocks(ENTRY_SSE | ENTRY_SOA, p));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(all.back()->coefficients()) % 16, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(all.back()->input()) % 16, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(all.back()->output()) % 16, 0u);
        EXPECT_NO_THROW(all.back()->checkAlignment());
        std::vector<char> shifts(static_cast<size_t>(4 + 8 * i)); // move the heap along
        all.back()->resetOutput();
    }
}

TEST(Problem, SeedsReproduceTheSameProblemEverywhere) {
    const circuit::Problem a = host::randomProblem(42), b = host::randomProblem(42),
                           c = host::randomProblem(43);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_NE(std::memcmp(&a, &c, sizeof a), 0);
    float lo = 0, hi = 0;
    for (const auto& row : a.m)
        for (float m : row) lo = std::min(lo, m), hi = std::max(hi, m);
    EXPECT_GT(lo, -0.99f);
    EXPECT_LT(hi, 0.99f);
    // Integer arithmetic only: the same bits on every platform.
    uint32_t bits;
    std::memcpy(&bits, &a.m[0][0], 4);
    EXPECT_EQ(bits, 0xBECB4C90u);
}

TEST(Problem, TextFormat) {
    std::string text = "# a comment\n";
    for (int k = 0; k < 648; ++k) text += k % 36 ? " 0.5" : "\n-1.5e0";
    text += "\n";
    for (int k = 0; k < 36; ++k) text += " 0.25 # inputs\n";
    const circuit::Problem p = host::parseProblem(text, "t");
    EXPECT_EQ(p.m[0][0], -1.5f);
    EXPECT_EQ(p.m[17][35], 0.5f);
    EXPECT_EQ(p.x[35], 0.25f);

    auto error = [](const std::string& t) {
        try {
            host::parseProblem(t, "f");
        } catch (const host::Fatal& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(error("1 2 3"), "f: 3 numbers; expected 684 (648 coefficients M[0][0] .. M[17][35] "
                              "row by row, then 36 inputs x[0] .. x[35])");
    EXPECT_EQ(error("1\n2\nnan"), "f:3: 'nan' is not a finite single-precision value");
    EXPECT_EQ(error("1,2"), "f:1: '1,2' is not a number");
    EXPECT_EQ(error("# only a comment\n").rfind("f: 0 numbers; expected 684", 0), 0u);
}

TEST(Text, ShiftJisNamesBecomeUtf8OrMarkedEscapes) {
    bool converted = false;
    EXPECT_EQ(host::sjisToUtf8("C\x8C\xBE\x8C\xEA \x83\x8B\x81\x5B\x83\x76", &converted), "C言語 ループ");
    EXPECT_TRUE(converted);
    EXPECT_EQ(host::sjisToUtf8("x87", &converted), "x87");
    // A lead byte without its trail byte, and a control character.
    EXPECT_EQ(host::sjisToUtf8("ab\x8C", &converted), "ab\\x8C");
    EXPECT_FALSE(converted);
    EXPECT_EQ(host::sjisToUtf8("a\x1b[2J", &converted), "a\\x1B[2J");
    EXPECT_FALSE(converted);
    EXPECT_EQ(host::hexBytes("C\x8C"), "43 8C");
}

TEST(Text, ColumnsCountWideCharactersTwice) {
    EXPECT_EQ(host::displayWidth("C言語 SDKコード(VC6Pro Blend)"), 29);
    EXPECT_EQ(host::padRight("言語", 6), "言語  ");
    EXPECT_EQ(host::padLeft("7", 3), "  7");
    // File names are bytes: what is not UTF-8 is shown escaped, the rest
    // kept; so are control characters (an escape sequence, C1's CSI).
    EXPECT_EQ(host::printable("a\xFF" "\xC3\xA9" "\xC3" "b"), "a\\xFF\xC3\xA9\\xC3b");
    EXPECT_EQ(host::printable("r\x1b]0;t\x07\xC2\x9B" "2J\x7F"), "r\\x1B]0;t\\x07\\x9B" "2J\\x7F");
    EXPECT_EQ(host::flagsText(ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA | 0x40u), "MMX 3DNow! SOA 0x40");
}

TEST(Processor, AnEntryNeedsEveryExtensionItsFlagsName) {
    host::Processor k6;
    k6.x86 = k6.fpu = k6.mmx = k6.amd3dnow = true;
    EXPECT_EQ(host::missingExtensions(ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA, k6), "");
    EXPECT_EQ(host::missingExtensions(ENTRY_SSE | ENTRY_SOA, k6), "SSE");
    EXPECT_EQ(host::missingExtensions(ENTRY_FPU | 0x20u, k6), "unknown flags 0x20");
    host::Processor none;
    EXPECT_EQ(host::missingExtensions(ENTRY_FPU | ENTRY_MMX, none), "FPU MMX");
}

std::string fatalText(const std::vector<std::string>& args) {
    try {
        host::parseOptions(args);
    } catch (const host::Fatal& e) {
        return e.what();
    }
    return "";
}

TEST(Options, NumbersAreDecimalAndEveryMistakeIsNamed) {
    EXPECT_EQ(fatalText({"--entries", "-1", "m"}), "--entries: '-1' is not an entry number or a range such as 5-7");
    EXPECT_EQ(fatalText({"--entries", "3,", "m"}), "--entries: '3,' is not an entry number or a range such as 5-7");
    EXPECT_NE(fatalText({"--time-per-entry", "0x10", "m"}), "");
    EXPECT_NE(fatalText({"--timeout", "1e3", "m"}), "");
    EXPECT_NE(fatalText({"--timeout", "0", "m"}), "");
    for (const char* pct : {"-1", "1e2", "10%", "", ".", "10001"})
        EXPECT_NE(fatalText({"--compare", "a", "b", "--fail-if-slower", pct}), "") << pct;
    EXPECT_EQ(host::parseOptions({"--compare", "a", "b", "--fail-if-slower", "0.0"}).failIfSlower, 0);
    EXPECT_EQ(host::parseOptions({"--compare", "a", "b", "--fail-if-slower=2.5"}).failIfSlower, 2.5);
    const host::Options o = host::parseOptions({"--timeout", "2.5", "--", "-odd-name.so"});
    EXPECT_EQ(o.module, "-odd-name.so");
    EXPECT_EQ(o.timeoutSeconds, 2.5);
    const host::Options c = host::parseOptions({"--compare", "a.json", "b.json", "--svg", "c.svg"});
    EXPECT_EQ(c.compare, (std::vector<std::string>{"a.json", "b.json"}));
    EXPECT_EQ(c.svg, "c.svg");
    // A mistake on the command line is a usage error (main points to --help).
    EXPECT_THROW(host::parseOptions({"--bogus", "m"}), host::UsageError);
    EXPECT_THROW(host::parseOptions({}), host::UsageError);
}

// The one option table: every row --help lists parses and is listed; the
// outputs that exclude one another are refused.
TEST(Options, OneTableFeedsTheParserAndHelp) {
    const std::string usage = host::usageText();
    for (const host::OptionHelp& row : host::optionHelp()) {
        EXPECT_NE(usage.find("\n  " + row.name + (row.value.empty() ? "" : " " + row.value)), std::string::npos)
            << row.name;
        const bool gate = row.name == "--fail-if-slower"; // an option of --compare alone
        std::vector<std::string> args = {row.name};
        if (!row.value.empty() && row.name != "--compare") args.push_back("1");
        args.push_back("m");
        if (gate) args.insert(args.begin(), {"--compare", "base"});
        EXPECT_NO_THROW(host::parseOptions(args)) << row.name;
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--csv", "--markdown", "m"}, {"--json", "--no-notes", "m"},
          {"--export-json", "", "m"}, {"--compare", "a.json", "--wide", "x"}, {"--compare", "a", "--fail-if-slower", "5"},
          {"--compare", "a", "b", "--json", "--csv"}, {"--fail-if-slower", "5", "m"}})
        EXPECT_THROW(host::parseOptions(args), host::UsageError) << args[0] << " " << args[1];
    const host::Options o = host::parseOptions({"--export-json", "a", "--export-markdown=b", "m"});
    ASSERT_EQ(o.exports.size(), 2u);
    EXPECT_EQ(o.exports[1].format, host::Format::Markdown);
    EXPECT_EQ(o.exports[1].path, "b");
}

#ifndef _WIN32
// A baseline's name is a file name in its folder and nothing more; the
// folder follows XDG_DATA_HOME when it is absolute, else HOME.
TEST(Options, BaselineNamesStayInTheirFolder) {
    const bool xdg = std::getenv("XDG_DATA_HOME") != nullptr;
    const std::string saved = xdg ? std::getenv("XDG_DATA_HOME") : "";
    setenv("XDG_DATA_HOME", "/d", 1);
    EXPECT_EQ(host::baselinePath("v2.0_rc-1", false), "/d/circuit-host/baselines/v2.0_rc-1.json");
    for (const std::string& name : std::vector<std::string>{"", "../x", "a/b", ".x", "-x", "a\\b", std::string(65, 'a')})
        EXPECT_THROW(host::baselinePath(name, false), host::UsageError) << name;
    EXPECT_EQ(host::savedRunPath("dir/run.json"), "dir/run.json"); // no baseline's name: a file as given
    setenv("XDG_DATA_HOME", "relative", 1);
    if (std::getenv("HOME"))
        EXPECT_EQ(host::baselineFolder(), std::string(std::getenv("HOME")) + "/.local/share/circuit-host/baselines");
    if (xdg) setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
}
#endif

// How a child ended, read in one place for POSIX and Windows alike.
TEST(Isolation, OneClassifierForEveryEnd) {
    const std::string whole = host::sealAnswer("{}");
    const struct {
        bool faulted;
        unsigned long status;
        std::string answer;
        host::Isolated::Kind kind;
        std::string how;
    } cases[] = {
        {false, 0, whole, host::Isolated::Finished, ""},
        {true, 0, whole, host::Isolated::Crashed, "illegal instruction"},
        {false, 3, whole, host::Isolated::Crashed, "exited with status 3 inside the module"},
        {false, 0, "{", host::Isolated::Crashed, "exited with status 0 inside the module"},
    };
    for (const auto& c : cases) {
        host::ChildEnd end;
        end.faulted = c.faulted;
        end.fault = "illegal instruction";
        end.status = c.status;
        host::Isolated r;
        r.answer = c.answer;
        host::classifyEnd(end, r);
        EXPECT_EQ(r.kind, c.kind) << c.how;
        EXPECT_EQ(r.how, c.how);
        if (c.kind == host::Isolated::Finished) EXPECT_EQ(r.answer, "{}");
    }
}

// What an entry's process sends back arrives bit for bit, NaN and denormals
// included, and a cut-off answer is refused rather than read as zeros.
TEST(Outcome, CrossesThePipeExactly) {
    host::EntryResult e;
    e.index = 7;
    e.status = host::Status::Failed;
    e.reason = "y[3] = 1, exact 2\nsecond line";
    for (int i = 0; i < OUTPUT_COUNT; ++i) e.check.y[i] = std::ldexp(1.0f + i, -140 + 10 * i);
    e.check.y[5] = NAN;
    e.check.worstRatio = 1.0 / 3;
    e.timing.done = true;
    e.timing.count = 12345;
    e.timing.medianClocks = 201.5;
    e.timing.clockNote = "moved";
    host::EntryResult back;
    back.index = 7;
    EXPECT_EQ(host::decodeOutcome(host::encodeOutcome(e, 0.25), back), 0.25);
    EXPECT_EQ(back.status, host::Status::Failed);
    EXPECT_EQ(back.reason, e.reason);
    EXPECT_EQ(std::memcmp(back.check.y, e.check.y, sizeof e.check.y), 0);
    EXPECT_EQ(back.check.worstRatio, 1.0 / 3);
    EXPECT_EQ(back.timing.count, 12345);
    EXPECT_EQ(back.timing.medianClocks, 201.5);
    EXPECT_EQ(back.timing.clockNote, "moved");
    host::EntryResult cut;
    const std::string whole = host::encodeOutcome(e, 0.25);
    EXPECT_THROW(host::decodeOutcome(whole.substr(0, whole.size() / 2), cut), host::Fatal);
}

// A run written as JSON reads back for comparison; other JSON is refused.
TEST(Results, SavedRunsReadBackAndOtherFilesAreRefused) {
    host::RunInfo run;
    run.machine.cpu.brand = "Test \"CPU\"";
    run.machine.cpu.vendor = "GenuineTest";
    run.machine.coreGHz = 3.5;
    run.module.path = "dir/m\\odule.so";
    for (int i = 0; i < 2; ++i) {
        host::EntryResult e;
        e.index = i;
        e.name = i ? "C言語" : "x87\x1b]0;title\x07\xc2\x9b";
        e.timing.done = i == 1;
        e.timing.clocks = true;
        e.timing.medianClocks = 123.25;
        e.timing.medianNs = 40.5;
        run.entries.push_back(e);
    }
    const host::SavedRun r = host::parseSavedRun(host::resultsJson(run), "runs/a.json");
    EXPECT_EQ(r.label, "a");
    EXPECT_EQ(r.cpu, "Test \"CPU\"");
    EXPECT_EQ(r.module, "dir/m\\odule.so");
    EXPECT_EQ(r.coreGHz, 3.5);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[1].name, "C言語");
    EXPECT_EQ(r.entries[0].name, "x87\\x1B]0;title\\x07\\x9B"); // no escape sequence reaches the terminal
    EXPECT_EQ(r.entries[1].medianClocks, 123.25);
    EXPECT_TRUE(std::isnan(r.entries[0].medianClocks));
    EXPECT_THROW(host::parseSavedRun("{\"schema\": \"other\", \"schema_version\": 1}", "x"), host::Fatal);
    EXPECT_THROW(host::parseSavedRun("{\"schema\": \"circuit-host results\"", "x"), host::Fatal);
    EXPECT_THROW(host::parseSavedRun("[[[[", "x"), host::Fatal);
    // Figures that are no time, and indices that name no entry or one twice.
    const std::string head = "{\"schema\": \"circuit-host results\", \"schema_version\": 2, \"entries\": [";
    for (const char* entries : {"{\"index\": 0, \"median_clocks\": 1.7e308}", "{\"index\": 0, \"median_ns\": -1}",
                                "{\"index\": 0, \"median_ns\": 0}", "{\"index\": 0, \"call_ns\": [1, 1e300]}",
                                "{\"index\": 1.5}", "{\"index\": 0}, {\"index\": 0}"})
        EXPECT_THROW(host::parseSavedRun(head + entries + "]}", "x"), host::Fatal) << entries;
    EXPECT_NO_THROW(host::parseSavedRun(head + "{\"index\": 0, \"median_ns\": 2.5, \"median_clocks\": null}]}", "x"));
    // Schema versions: every one written so far, no other; the calls a run saves, no more.
    const std::string v1 = "{\"schema\": \"circuit-host results\", \"schema_version\": ";
    EXPECT_NO_THROW(host::parseSavedRun(v1 + "1, \"entries\": []}", "x"));
    for (const char* version : {"0", "2.5", "4", "-1", "\"3\""})
        EXPECT_THROW(host::parseSavedRun(v1 + version + ", \"entries\": []}", "x"), host::Fatal) << version;
    std::string calls;
    for (int k = 0; k < 1000; ++k) calls += (k ? ", " : "") + std::to_string(k + 1);
    EXPECT_EQ(host::parseSavedRun(head + "{\"index\": 0, \"call_ns\": [" + calls + "]}]}", "x").entries[0].callNs.size(),
              1000u);
    EXPECT_THROW(host::parseSavedRun(head + "{\"index\": 0, \"call_ns\": [" + calls + ", 1]}]}", "x"), host::Fatal);
}

// The CSV of a run says what its JSON says, column by column: every column
// has the JSON member of its name (the entry's, or the machine's), each
// figure distinct, so a value left out or moved shifts what follows and shows.
std::vector<std::string> csvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t k = 0; k < line.size(); ++k) {
        const char c = line[k];
        if (c == '"' && quoted && k + 1 < line.size() && line[k + 1] == '"') fields.back() += c, ++k;
        else if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string jsonAsCsv(const host::Json& v) {
    if (v.is_null()) return "";
    if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
    if (v.is_string()) return v.get<std::string>();
    return "";
}

TEST(Results, CsvColumnsAreTheJsonMembersOfTheSameRun) {
    host::RunInfo run;
    run.machine.cpu.tsc = true;
    run.machine.emulated = true;
    for (int i = 0; i < 2; ++i) {
        host::EntryResult e;
        e.index = i;
        e.name = i ? "x87, \"quoted\"" : "C言語";
        e.record.flags = i ? ENTRY_FPU | ENTRY_SOA : ENTRY_SSE | ENTRY_SOA;
        e.runnable = e.ran = e.substitute = i == 0;
        e.status = i ? host::Status::Failed : host::Status::Ok;
        e.reason = i ? "y[3] = 2, expected 1" : "";
        e.check = {true, false, "", 0.001, 0.002, 0.5};
        host::Timing& t = e.timing;
        t.done = i == 0;
        t.count = 12345, t.samples = 400, t.plannedCalls = 401, t.dropped = 3;
        t.minNs = 10.25, t.medianNs = 11.5, t.maxNs = 19.75, t.minTicks = 30.5, t.medianTicks = 32.25;
        t.clocks = true, t.minClocks = 40.5, t.medianClocks = 42.75, t.lowNs = 10.75, t.lowClocks = 41.25;
        t.relative = 0.875, t.noise = 0.0625, t.unstableReason = "noise";
        run.entries.push_back(e);
    }
    const host::Json json = host::parseJson(host::resultsJson(run));
    const std::string csv = host::csvText(run);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = csv.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(csv.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> header = csvFields(lines[0]);
    for (size_t row = 1; row < lines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(lines[row]);
        ASSERT_EQ(fields.size(), header.size()) << lines[row];
        const host::Json& entry = json["entries"][row - 1];
        for (size_t k = 0; k < header.size(); ++k) {
            const bool own = entry.contains(header[k]), top = json.contains(header[k]);
            ASSERT_TRUE(own || top || json["machine"].contains(header[k])) << "no JSON member " << header[k];
            const host::Json& v = own ? entry[header[k]] : top ? json[header[k]] : json["machine"][header[k]];
            if (v.is_number())
                EXPECT_EQ(std::strtod(fields[k].c_str(), nullptr), v.get<double>()) << header[k] << " of row " << row;
            else if (header[k] == "status") // the CSV's word, the JSON's key
                EXPECT_EQ(lower(fields[k]), v.get<std::string>());
            else
                EXPECT_EQ(fields[k], jsonAsCsv(v)) << header[k] << " of row " << row;
        }
    }
}

// A run with a timed entry that has core clocks, one timed in ns only and
// flagged, and one that did not run.
host::RunInfo threeEntries() {
    host::RunInfo run;
    run.trials = 400;
    run.flagged = 1;
    for (int i = 0; i < 3; ++i) {
        host::EntryResult e;
        e.index = i;
        e.name = i == 1 ? "=1+2, \"x\"" : "e" + std::to_string(i);
        e.ran = i < 2;
        e.status = i < 2 ? host::Status::Ok : host::Status::Skipped;
        host::Timing& t = e.timing;
        t.done = e.ran;
        t.clocks = i == 0;
        t.count = 7 + i;
        t.samples = 400 - i;
        t.medianClocks = 300, t.lowClocks = 290, t.minClocks = 280;
        t.medianNs = 412.5 + i, t.lowNs = 400, t.minNs = 399, t.maxNs = 900;
        t.noise = 0.01 * (i + 1);
        t.unstableReason = i == 1 ? "two modes" : "";
        t.callNs = {1, 2};
        e.check.worstRatio = 0.25 * (i + 1);
        run.entries.push_back(e);
    }
    return run;
}

// The table shows every figure in its unit, says why an entry is flagged,
// and defines what it shows unless told to leave the notes out.
TEST(Table, EveryFigureShownAndEveryFlagExplained) {
    const host::RunInfo run = threeEntries();
    host::TableStyle style;
    const std::string text = host::tableText(run, style);
    for (const char* part : {"\n0  e0 ", " 300     2.16   1.0%", "413.5 ns", "2.0%!", "! entry 1 unstable: two modes",
                             "1 of 2 timed entries flagged", "over 399 to 400 calls", "MAC/clk multiply-adds per core",
                             "ns: an entry without core clocks"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    EXPECT_NE(text.find("--wide adds"), std::string::npos);
    style.notes = false;
    const std::string bare = host::tableText(run, style);
    EXPECT_EQ(bare.find("MAC/clk multiply-adds"), std::string::npos);
    EXPECT_NE(bare.find("! entry 1 unstable: two modes"), std::string::npos);
    const std::string md = host::markdownText(run, style);
    EXPECT_NE(md.find("\n|---:|:---|:---|:---|---:|"), std::string::npos) << md;
    EXPECT_NE(md.find("| 1 | =1+2, \"x\" |"), std::string::npos) << md;
    // In CSV a name that a spreadsheet would read as a formula is quoted as text.
    EXPECT_NE(host::csvText(run).find(",\"'=1+2, \"\"x\"\"\","), std::string::npos) << host::csvText(run);
}

// Runs with different entry sets line up by index: a missing entry leaves a
// blank, an untimed one "-", and the ratio is to the first run.
TEST(Comparison, LinesUpByIndexAndLeavesGapsBlank) {
    auto entry = [](int index, double clocks) {
        host::SavedEntry e;
        e.index = index;
        e.name = "e" + std::to_string(index);
        e.medianClocks = clocks;
        return e;
    };
    host::SavedRun a, b;
    a.label = "a";
    b.label = "b";
    a.entries = {entry(0, 100), entry(1, 50)};
    b.entries = {entry(0, 150), entry(2, 40), entry(1, NAN)};
    const std::string text = host::comparisonText(host::compareSaved({a, b}));
    EXPECT_NE(text.find("\n0  e0    100  150   1.50  untested\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n1  e1     50    -\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\n2  e2          40\n"), std::string::npos) << text;
}

// The U test's p-values (normal approximation, ties and continuity
// corrected, as textbooks and scipy's asymptotic method give them), and
// when a ratio counts as a change.
TEST(Statistics, MannWhitneyAndWhatCountsAsAChange) {
    auto range = [](double from, double step, int n) {
        std::vector<double> v;
        for (int k = 0; k < n; ++k) v.push_back(from + step * k);
        return v;
    };
    const struct {
        std::vector<double> a, b;
        double p;
    } cases[] = {
        {range(1, 1, 10), range(11, 1, 10), 0.00018267179},             // apart
        {range(1, 2, 10), range(2, 2, 10), 0.73372999570},              // interleaved
        {{1, 1, 2, 2, 3, 3, 4, 4, 5, 5}, range(1, 1, 10), 0.06202598168}, // ties
        {range(5, 0, 12), range(5, 0, 12), 1},                          // all equal
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(stats::mannWhitneyP(c.a, c.b), c.p, 1e-9);
        EXPECT_NEAR(stats::mannWhitneyP(c.b, c.a), c.p, 1e-9);
    }
    // The smallest tested sample is kMinTestedCalls, one fewer is not tested.
    EXPECT_TRUE(std::isnan(stats::mannWhitneyP(range(1, 1, 8), range(1, 1, 100))));
    EXPECT_NEAR(stats::mannWhitneyP(range(1, 1, 9), range(10, 1, 9)), 0.00041229480, 1e-9);
    // Holm: the k-th smallest of m times m - k + 1, never below the one before.
    const std::vector<double> holm = stats::holm({0.01, 0.04, 0.03, NAN, 0.5});
    const double expected[] = {0.04, 0.09, 0.09, NAN, 0.5};
    for (size_t i = 0; i < holm.size(); ++i)
        EXPECT_TRUE(std::isnan(expected[i]) ? std::isnan(holm[i]) : std::fabs(holm[i] - expected[i]) < 1e-12) << i;
    EXPECT_TRUE(host::isChange(0.01, 1.06));
    EXPECT_FALSE(host::isChange(0.01, 1.04));  // significant, yet below the noise threshold
    EXPECT_FALSE(host::isChange(0.2, 1.5));    // large, yet within the calls' noise
    host::ComparedRow row;
    row.value = {100, 50};
    row.present = {true, true};
    row.unstable = {false, false};
    row.p = {0.0001};
    EXPECT_EQ(host::testText(row, 1), "change p<0.001");
    row.p = {0.25};
    EXPECT_EQ(host::testText(row, 1), "noise p=0.250");
    row.p = {0.0001};
    row.unstable = {false, true}; // never a change beside an unstable run
    EXPECT_EQ(host::testText(row, 1), "unstable");
}

// Emulation shows as a processor that CPUID and the kernel describe
// differently; a machine whose two descriptions agree is not emulated.
TEST(Machine, EmulationIsCpuidAgainstTheKernel) {
    host::Processor phenom;
    phenom.x86 = true;
    phenom.vendor = "AuthenticAMD";
    const char* single = "AMD Phenom(tm) 9550 Quad-Core Processor";
    // CPUID's brand string as processors pad it, blanks before and between.
    const char* padded = "   AMD Phenom(tm)  9550 Quad-Core Processor ";
    const struct {
        const char* brand;
        const char* cpuinfo;
        bool emulated;
    } cases[] = {
        {single, "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD Phenom(tm)  9550 Quad-Core Processor\n", false},
        {padded, "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD Phenom(tm) 9550 Quad-Core Processor\n", false},
        {padded, "processor\t: 0\nvendor_id\t: AuthenticAMD\nmodel name\t: AMD EPYC 9R45\n", true},
        {single, "vendor_id : GenuineIntel\nmodel name : AMD Phenom(tm) 9550 Quad-Core Processor\n", true},
        {single, "", false},                              // no /proc: no verdict
        {single, "processor : 0\nBogoMIPS : 100\n", false}, // a kernel that names no x86 processor
    };
    for (const auto& c : cases) {
        phenom.brand = c.brand;
        EXPECT_EQ(!host::emulationEvidence(phenom, c.cpuinfo).empty(), c.emulated) << c.brand << " / " << c.cpuinfo;
    }
}

namespace {

// One saved run of one entry, as the comparison rows below vary it.
struct SavedSpec {
    double median = 303;
    uint64_t seed = 1;
    int bits = 64;
    bool emulated = false;
    const char* sha = "ab";
    double ghz = 3.0;
    int trials = 400;
    const char* reason = "";
    bool nsOnly = false;
    bool noCallClocks = false; // as a run saved before calls' clocks were
    int calls = 50;
};
host::SavedRun savedOf(const SavedSpec& s) {
    host::RunInfo r;
    r.problem.seed = s.seed;
    r.machine.hostBits = s.bits;
    r.machine.emulated = s.emulated;
    r.machine.coreGHz = s.ghz;
    r.moduleFile.sha256 = s.sha;
    r.timePerEntryMs = 100;
    r.trials = s.trials;
    host::EntryResult e;
    e.name = "x87";
    e.timing.done = true;
    e.timing.clocks = !s.nsOnly;
    e.timing.minClocks = 101;
    e.timing.lowClocks = 202;
    e.timing.medianClocks = s.median;
    e.timing.medianNs = s.median / 4; // ns apart from clocks: the test must follow the clocks
    e.timing.unstableReason = s.reason;
    for (int k = 0; k < s.calls; ++k) {
        e.timing.callClocks.push_back(s.median + k);
        e.timing.callNs.push_back(75.75 + k % 2);
    }
    if (s.noCallClocks) e.timing.callClocks.clear();
    r.entries.push_back(e);
    return host::parseSavedRun(host::resultsJson(r), "runs/r.json");
}

} // namespace

// Saved runs whose minimum, low, median and ns figures all differ: --compare
// sets the medians side by side, digit for digit, tests the clocks it shows,
// never calls a change beside a run that marked the entry unstable, and
// warns about every way the runs differ besides their times.
TEST(Comparison, ReadsTheMediansAndWarnsAboutDifferentRuns) {
    using Run = SavedSpec;
    const auto saved = savedOf;
    const struct {
        Run b;
        std::vector<std::string> has;
    } cases[] = {
        {Run{304}, {"\n0  x87      303        304   1.00  noise p=0.735\n"}},
        {Run{909, 2, 32, true, "cd"},
         {"\n0  x87      303        909   3.00  change p<0.001\n", "different problems (seed 2; seed 1)", "different modules",
          "different word sizes (32; 64", "WARNING: runs/r #2 ran under an emulator"}},
        {Run{606, 1, 64, false, "ab", 3.3}, {"2.00  change", "core clocks more than 5% apart (3.30; 3.00 GHz)"}},
        {Run{303, 1, 64, false, "ab", 3.0, 300},
         {"timed with different settings (100 ms per entry, 300 trials, 0 rounds; 100 ms per entry, 400 trials"}},
        {Run{909, 1, 64, false, "ab", 3.0, 400, "rounds disagree"},
         {"\n0  x87      303       909!   3.00  unstable\n", "; 1 entry unstable", "! runs/r #2, entry 0: rounds disagree"}},
        {Run{909, 1, 64, false, "ab", 3.0, 400, "", true}, {"\n0  x87   75.8 ns   227.2 ns   3.00  noise p=1.000\n"}},
        {Run{909, 1, 64, false, "ab", 3.0, 400, "", false, true}, {"\n0  x87   75.8 ns   227.2 ns   3.00  noise p=1.000\n"}},
    };
    for (const auto& c : cases) {
        const host::Comparison compared = host::compareSaved({saved(Run{}), saved(c.b)});
        const std::string text = host::comparisonText(compared);
        for (const std::string& w : c.has) EXPECT_NE(text.find(w), std::string::npos) << w << "\n" << text;
        const bool alike = c.b.seed == 1 && c.b.ghz == 3.0 && c.b.trials == 400;
        EXPECT_EQ(text.find("WARNING") == std::string::npos, alike && !c.b.emulated) << text;
    }
    EXPECT_NE(host::comparisonSvg(host::compareSaved({saved(Run{}), saved(Run{909, 2})}))
                  .find("Warning: runs/r #2 and runs/r timed different problems"),
              std::string::npos);
}

// --fail-if-slower over saved runs crafted for it: only a change slower than
// the threshold trips it; an unstable or untested entry is untestable, and a
// gate that tested nothing is no pass. The outputs say the same.
TEST(Comparison, TheGateTripsOnlyOnASlowerChange) {
    using Run = SavedSpec;
    const struct {
        Run b;
        double pct;
        const char *gate, *result;
    } cases[] = {
        {Run{303}, 10, "pass", "passed"},                    // equal
        {Run{151}, 10, "pass", "passed"},                    // faster
        {Run{909}, 10, "tripped", "tripped"},                // three times slower
        {Run{327}, 10, "pass", "passed"},                    // a change, 8 % slower: below the threshold
        {Run{327}, 5, "tripped", "tripped"},
        {Run{909, 1, 64, false, "ab", 3.0, 400, "noise"}, 10, "untestable", "nothing tested"},
        {Run{909, 1, 64, false, "ab", 3.0, 400, "", false, false, 3}, 10, "untestable", "nothing tested"},
    };
    for (const auto& c : cases) {
        host::Comparison compared = host::compareSaved({savedOf(Run{}), savedOf(c.b)});
        compared.failIfSlower = c.pct;
        const std::string why = std::string(c.gate) + " / " + c.result;
        EXPECT_EQ(host::gateSummary(compared).failed(), std::string(c.result) != "passed") << why;
        const host::Json json = host::parseJson(host::comparisonJson(compared));
        EXPECT_EQ(json["schema"], "circuit-host comparison");
        EXPECT_EQ(json["entries"][0]["gate"], c.gate) << why;
        EXPECT_EQ(json["gate"]["result"], c.result) << why;
        EXPECT_NE(host::comparisonCsv(compared).find("," + std::string(c.gate) + ","), std::string::npos) << why;
        EXPECT_NE(host::comparisonText(compared).find(": " + std::string(c.result)), std::string::npos) << why;
    }
}

// A set of calls' own flags (the noise and a second mode: 30 % of the calls
// at half the time, which the median absolute deviation cannot see), then
// rounds combined: the least median that other rounds confirm, a slow round
// explained by the probe or left unexplained, and what else ran.
TEST(Rounds, EachFlagHasItsCause) {
    auto calls = [](double low, double high, int lowCalls, double step) {
        std::vector<double> v;
        for (int k = 0; k < 100; ++k) v.push_back((k < lowCalls ? low : high) + step * (k % 7));
        return v;
    };
    const struct {
        std::vector<double> ns;
        const char* reason;
        double noise;
    } sets[] = {
        {calls(100, 100, 0, 1), "", 2 / 103.0},
        {calls(100, 100, 0, 3), "noise", 6 / 109.0},
        {calls(1715, 3427, 30, 1), "two modes", 3 / 3428.5},
        {calls(60, 100, 40, 3), "noise, two modes", 12 / 103.0},
    };
    for (const auto& c : sets) {
        double noise = 0;
        EXPECT_EQ(host::callsReason(c.ns, noise), c.reason) << c.reason;
        EXPECT_NEAR(noise, c.noise, 1e-12) << c.reason;
    }
}

TEST(Rounds, CombinedFromTheLeastConfirmedMedian) {
    auto round = [](double clocks, double probe, const char* reason = "", double busy = 0.1, int calls = 80) {
        host::Timing t;
        t.done = t.clocks = true;
        t.medianClocks = clocks;
        t.medianNs = clocks / 3;
        t.probeClocks = probe;
        t.unstableReason = reason;
        t.otherCpusBusy = busy;
        t.samples = calls;
        return t;
    };
    const struct {
        std::vector<host::Timing> rounds;
        double reported;
        const char* reason;
        bool settled;
    } cases[] = {
        {{round(712, 10), round(715, 10), round(713, 10)}, 712, "", true},
        // Slower on some rounds only, where the probe saw the core shared.
        {{round(1190, 17), round(712, 10), round(1200, 17.5), round(714, 10), round(713, 10.1)}, 712, "", true},
        // Slower on most rounds for no known reason.
        {{round(1190, 10), round(712, 10), round(1200, 10), round(714, 10), round(1150, 10)}, 712, "rounds disagree", false},
        // The one fast round stands alone among rounds of a shared core.
        {{round(1190, 17), round(712, 10), round(1200, 17)}, 712, "core shared", false},
        // Every round of a shared core: the least, with its cause.
        {{round(1190, 17), round(1210, 17)}, 1190, "core shared", false},
        // No round without a second mode: the least of them, flagged.
        {{round(1715, 10, "two modes"), round(1800, 10, "two modes")}, 1715, "two modes", false},
        // A noisy round faster than the quiet ones: they were slowed.
        {{round(600, 10, "noise"), round(712, 10), round(714, 10)}, 600, "noise, rounds disagree", false},
        // Noise counts only where every round that confirms the figure has it.
        {{round(712, 10, "noise"), round(713, 10), round(714, 10)}, 712, "", true},
        {{round(712, 10, "noise"), round(713, 10, "noise, two modes"), round(900, 10)}, 712, "noise", false},
        {{round(712, 10, "", 0.9), round(713, 10, "", 0.8)}, 712, "busy CPUs", true},
        // Busy processors that shared no units: the probe ran as on a core alone.
        {{round(712, 8, "", 0.9), round(713, 8, "", 0.8)}, 712, "", true},
        {{round(712, 10, "", 0.1, 5), round(713, 10, "", 0.1, 5)}, 712, "few calls", true},
        {{round(712, 0), round(713, 0)}, 712, "", true}, // no probe: no verdict of it
    };
    for (const auto& c : cases) {
        bool settled = false;
        const host::Timing t = host::combineRounds(c.rounds, c.rounds[0].probeClocks == 8 ? 8 : 10, 7, settled);
        EXPECT_EQ(t.medianClocks, c.reported) << c.reason;
        EXPECT_EQ(t.unstableReason, c.reason) << c.reported;
        EXPECT_EQ(settled, c.settled) << c.reason;
        EXPECT_EQ(t.rounds, static_cast<int>(c.rounds.size()));
        EXPECT_EQ(t.roundMedianClocks.size(), c.rounds.size());
    }
}

#if defined(__i386__) || defined(__x86_64__)
// The calibration's tolerance is relative to the usual ticks per cycle,
// whatever their number: 2 % of 0.8 is not 2 % of 40.
TEST(CycleClock, ToleranceIsRelative) {
    const struct {
        double ratio, usual;
        bool near;
    } cases[] = {{40.6, 40, true}, {40.9, 40, false}, {0.81, 0.8, true}, {0.83, 0.8, false}, {0.79, 0.8, true},
                 {39.0, 40, false}, {1, 0, false}};
    for (const auto& c : cases) EXPECT_EQ(bench::CycleClock::near(c.ratio, c.usual), c.near) << c.ratio << " " << c.usual;
}
#endif

TEST(Machine, Sha256KnownAnswers) {
    EXPECT_EQ(host::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(host::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block.
    EXPECT_EQ(host::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace

// The comparison chart's logarithmic axis: whole decades around the values,
// each value where its logarithm puts it.
TEST(Charts, LogAxisSpansWholeDecades) {
    struct Case {
        double least, longest, lo, hi, v, fraction;
    } cases[] = {
        {3, 858, 1, 1000, 10, 1.0 / 3}, {21, 858, 10, 1000, 100, 0.5}, {0.5, 40, 0.1, 100, 0.1, 0},
        {100, 100, 100, 1000, 1000, 1}, {2, 3, 1, 10, 50, 1},
    };
    for (const Case& c : cases) {
        const host::LogAxis a = host::logAxisFor(c.least, c.longest);
        EXPECT_DOUBLE_EQ(a.lo, c.lo) << c.least;
        EXPECT_DOUBLE_EQ(a.hi, c.hi) << c.longest;
        EXPECT_NEAR(a.fraction(c.v), c.fraction, 1e-12) << c.v;
    }
    // A wide character takes a full em; text from files is valid XML.
    EXPECT_DOUBLE_EQ(host::textWidth("\xe8\xa8\x80", 10), 10 * 1.03);
    EXPECT_EQ(host::xml("a\x1b[2J<\xff"), "a\\x1B[2J&lt;\\xFF");
}

// ---- The parent's own checks of an entry's answer -------------------------------

namespace {

// A good answer of entry 1 of circuit 2's table on `ref`'s problem.
host::EntryResult goodAnswer(const host::Reference& ref) {
    host::EntryResult e;
    e.index = 1;
    e.record.flags = ENTRY_FPU;
    e.ran = true;
    e.status = host::Status::Ok;
    std::memcpy(e.check.y, ref.rule[1], sizeof e.check.y);
    host::Timing& t = e.timing;
    t.done = true;
    t.count = 1000;
    t.samples = 10;
    t.minNs = 300, t.lowNs = 301, t.medianNs = 310, t.maxNs = 400;
    t.clocks = true;
    t.minClocks = 900, t.lowClocks = 905, t.medianClocks = 930;
    return e;
}

} // namespace

// Each row forges or spoils one thing of an answer; the host, which believes
// only what it can check, gives the entry this status and a reason like this.
TEST(Verify, TheHostBelievesOnlyWhatItChecks) {
    const circuit::Problem p = host::randomProblem(11);
    const host::Reference ref = host::referenceFor(p);
    const struct Row {
        const char* name;
        bool ownTable;
        std::function<void(host::EntryResult&)> spoil;
        const char* raw; // the whole answer instead, when not null
        host::Status status;
        const char* reason;
    } rows[] = {
        {"good", true, [](host::EntryResult&) {}, nullptr, host::Status::Ok, "^$"},
        {"one ulp off", true, [](host::EntryResult& e) { e.check.y[5] = std::nextafter(e.check.y[5], 10.0f); },
         nullptr, host::Status::Failed, "^y\\[5\\] = .* \\(bits 0x[0-9A-F]{8}\\), its rule gives .* \\(bits 0x"},
        {"forged zeros", true, [](host::EntryResult& e) { std::memset(e.check.y, 0, sizeof e.check.y); }, nullptr,
         host::Status::Failed, "^y\\[0\\] = 0 "},
        {"other table, within bound", false,
         [](host::EntryResult& e) { e.check.y[5] = std::nextafter(e.check.y[5], 10.0f); }, nullptr, host::Status::Ok,
         "^$"},
        {"count ignored", true, [](host::EntryResult& e) { e.timing.minNs = e.timing.lowNs = 1e-5; }, nullptr,
         host::Status::Failed, "does not grow with the count"},
        {"too many per clock", true, [](host::EntryResult& e) { e.timing.minClocks = e.timing.lowClocks = e.timing.medianClocks = 9; }, nullptr,
         host::Status::Failed, "multiply-adds per clock, more than any processor"},
        {"longer than its life", true, [](host::EntryResult& e) { e.timing.count = 1 << 30; }, nullptr,
         host::Status::Failed, "add up to .* but its process lived"},
        {"out of order", true, [](host::EntryResult& e) { e.timing.medianNs = 200; }, nullptr, host::Status::Failed,
         "disagree with one another"},
        {"forged status", true, [](host::EntryResult& e) { e.status = host::Status::Skipped; }, nullptr,
         host::Status::Crashed, "answered nonsense"},
        {"terminal escapes", true,
         [](host::EntryResult& e) {
             e.status = host::Status::Failed;
             e.reason = "\x1b]0;owned\x07\x1b[2J";
         },
         nullptr, host::Status::Failed, "^\\\\x1B\\]0;owned\\\\x07\\\\x1B\\[2J$"},
        {"stray byte", true, nullptr, "x", host::Status::Crashed, "^answered nonsense"},
        {"error answer", true, nullptr, "{\"error\": \"\\u001b[2Jgone\"}", host::Status::Crashed,
         "^answered nonsense: its process answered an error: \\\\x1B\\[2Jgone$"},
    };
    for (const Row& row : rows) {
        host::EntryResult planned = goodAnswer(ref), e = planned;
        if (row.spoil) row.spoil(e);
        host::Isolated r;
        r.kind = host::Isolated::Finished;
        r.answer = row.raw ? std::string(row.raw) : host::encodeOutcome(e, 0.01);
        r.seconds = 1;
        double work = 0;
        host::takeOutcome(r, host::Judge{ref, row.ownTable, 60, false}, planned, work);
        EXPECT_EQ(planned.status, row.status) << row.name << ": " << planned.reason;
        EXPECT_TRUE(std::regex_search(planned.reason, std::regex(row.reason))) << row.name << ": " << planned.reason;
    }
}

// Known answers of the verdicts' arithmetic: the fixed-point bound weighs an
// input's Q15 error by the coefficient and a coefficient's Q10 error by the
// input; a change of the flush-to-zero bit is named; in a group that must
// agree, the member nearest the exact sums stands even when it is not first.
TEST(Verify, KnownAnswersOfTheVerdicts) {
    circuit::Problem p = zeros();
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) p.m[i][j] = 1.0f;
    for (float& x : p.x) x = 0.5f;
    EXPECT_EQ(host::exactReference(p).fixedBound[0], 36 * (0x1p-16L + 0.5L * 0x1p-11L + 0x1p-27L + 0x1p-9L));

    host::FpState before;
    before.known = before.hasMxcsr = true;
    before.x87Control = 0x27F;
    before.mxcsr = 0x1F80;
    host::FpState after = before;
    after.mxcsr = 0x9F80;
    EXPECT_NE(host::fpStateChange(before, after).find("(denormal handling)"), std::string::npos);

    const circuit::Problem q = host::randomProblem(3);
    host::RunInfo run;
    run.module.records.resize(ENTRY_COUNT);
    run.module.nameTerminated.assign(ENTRY_COUNT, true);
    const EntryFlags flags[ENTRY_COUNT] = {0x001, 0x001, 0x001, 0x001, 0x001, 0x101, 0x006,
                                           0x106, 0x106, 0x106, 0x108, 0x108, 0x003, 0x103};
    const host::Reference ref = host::referenceFor(q);
    for (int i = 0; i < ENTRY_COUNT; ++i) {
        run.module.records[i].flags = flags[i];
        std::snprintf(run.module.records[i].name, ENTRY_NAME_BYTES, "renamed %d", i); // no rule known
        host::EntryResult e;
        e.index = i;
        e.record = run.module.records[i];
        e.ran = i >= 7 && i <= 9;
        e.status = e.ran ? host::Status::Ok : host::Status::Skipped;
        for (int k = 0; k < OUTPUT_COUNT; ++k) e.check.y[k] = static_cast<float>(ref.y[k]);
        run.entries.push_back(e);
    }
    run.entries[7].check.y[4] = std::nextafter(run.entries[7].check.y[4], 100.0f); // first, and farther
    host::finishRun(run, ref, false);
    EXPECT_EQ(run.entries[7].status, host::Status::Failed);
    EXPECT_EQ(run.entries[8].status, host::Status::Ok);
    EXPECT_EQ(run.entries[9].status, host::Status::Ok);
}

#ifndef _WIN32
namespace {

// Whether process `pid` is gone (or a zombie left to init) within 5 s.
bool ends(pid_t pid) {
    for (int k = 0; k < 500; ++k) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        if (!stat || text.substr(text.rfind(')') + 2, 1) == "Z") return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

// An entry's process: ended at once when the run is interrupted (not at its
// deadline), and whatever it started ends with it, whether it finished or
// not: a helper in its group, and (the host a subreaper) a daemon of its own
// session.
TEST(Isolation, InterruptionAndTheEntrysGroupEndItsProcess) {
    auto* helper = static_cast<volatile pid_t*>(
        mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(helper, MAP_FAILED);
    enum Case { Interrupted, Finishes, Daemon };
    for (const Case c : {Interrupted, Finishes, Daemon}) {
        // Where the system refuses the host a subreaper (qemu-user does), the
        // run's header says a daemon may outlive it: nothing to hold here.
        if (c == Daemon && host::protectHost().find("no subreaper") != std::string::npos) continue;
        volatile std::sig_atomic_t stop = 0;
        std::thread interrupt([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            stop = 1;
        });
        *helper = 0;
        const host::Isolated r = host::runIsolated(
            [&]() -> std::string {
                if (c == Daemon && fork() != 0) {
                    while (*helper == 0) usleep(1000);
                    return "done";
                }
                if (c == Daemon) setsid(); // a session of its own
                const pid_t pid = fork();
                if (pid == 0)
                    for (;;) pause();
                *helper = pid;
                if (c == Daemon) _exit(0);
                volatile bool spin = c == Interrupted;
                while (spin) {
                }
                return "done";
            },
            "", 60, &stop, [] {});
        interrupt.join();
        EXPECT_EQ(r.kind, c == Interrupted ? host::Isolated::TimedOut : host::Isolated::Finished) << c;
        EXPECT_LT(r.seconds, 30.0);
        ASSERT_GT(*helper, 0);
        EXPECT_TRUE(ends(*helper)) << c;
    }
}
#endif

#ifndef _WIN32
// What a module's constructor changes of the host's process (signals it
// blocks, its working directory) is put back once loading returns.
TEST(Module, PutsBackWhatItsConstructorChanged) {
    char before[4096], after[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    sigset_t maskBefore, maskAfter;
    sigprocmask(SIG_SETMASK, nullptr, &maskBefore);
    setenv("CIRCUIT_STAND_IN", "ctor_block", 1);
    {
        host::Module module(CIRCUIT_STAND_IN_PATH, 30);
        EXPECT_EQ(module.query().records.size(), size_t{ENTRY_COUNT});
        sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
        ASSERT_NE(getcwd(after, sizeof after), nullptr);
    }
    unsetenv("CIRCUIT_STAND_IN");
    EXPECT_STREQ(after, before);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(sigismember(&maskAfter, sig), sigismember(&maskBefore, sig));
}
#endif
