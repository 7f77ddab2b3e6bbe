// The rounds loop (rounds.h). Which figure an entry reports: the least of
// its rounds' medians (a noisy round's too: noise only adds time, so a noisy
// round faster than a quiet one says the quiet one was slowed). Waiting for the
// processor (another program, a neighbour of the virtual machine, an
// interrupt) only ever adds time, so a slow round is a disturbed one and the
// least median the steadiest estimate of the code's own time (the argument
// of Chen and Revels, "Robust benchmarking in noisy environments", 2016, for
// the minimum, here applied to medians, which no single lucky call moves).
// The median of the rounds' medians would follow the disturbance as soon as
// half the rounds had it, which slow spells of seconds do. The least is only
// reported as signed when other rounds confirm it: at least two rounds lie
// within kRoundsThreshold of it, and more of them than rounds that lie
// farther for no known reason (a round whose probe says the core was shared
// is slow for a known one).
#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "load.h"
#include "probe.h"
#include "rounds.h"
#include "signals.h"
#include "stats.h"

namespace host {

namespace {

void addReason(std::string& reasons, const std::string& reason) {
    if (reason.empty()) return;
    size_t from = 0;
    for (;;) { // each cause once
        const size_t comma = reasons.find(", ", from);
        if (reasons.compare(from, comma == std::string::npos ? std::string::npos : comma - from, reason) == 0 &&
            (comma == std::string::npos ? reasons.size() - from : comma - from) == reason.size())
            return;
        if (comma == std::string::npos) break;
        from = comma + 2;
    }
    reasons += reasons.empty() ? reason : ", " + reason;
}

// A round's figure: clocks where every round has them, else ns.
double figure(const Timing& t, bool clocks) { return clocks ? t.medianClocks : t.medianNs; }

double slowdown(const Timing& t, double bestProbe) {
    return t.probeClocks > 0 && bestProbe > 0 ? t.probeClocks / bestProbe : 0;
}

// What else ran, over all rounds: the mean of the rounds' shares (each is
// coarse, the mean less so) and the switches in all.
void loadOfRounds(const std::vector<Timing>& rounds, Timing& t) {
    double busy = 0, steal = 0;
    int busyRounds = 0, stealRounds = 0;
    long switches = 0;
    for (const Timing& r : rounds) {
        if (r.otherCpusBusy >= 0) busy += r.otherCpusBusy, ++busyRounds;
        if (r.stealShare >= 0) steal += r.stealShare, ++stealRounds;
        switches = switches >= 0 && r.involuntarySwitches >= 0 ? switches + r.involuntarySwitches : -1;
    }
    t.otherCpusBusy = busyRounds ? busy / busyRounds : -1;
    t.stealShare = stealRounds ? steal / stealRounds : -1;
    t.involuntarySwitches = switches;
}

// The causes of a set of calls ("noise", "two modes") that every round in
// `agree` has: one quiet round among them signs the figure.
std::string sharedCallsReasons(const std::vector<Timing>& rounds, const std::vector<size_t>& agree) {
    std::string reasons;
    for (const char* cause : {"noise", "two modes"}) {
        bool all = !agree.empty();
        for (size_t i : agree) all = all && rounds[i].unstableReason.find(cause) != std::string::npos;
        if (all) addReason(reasons, cause);
    }
    return reasons;
}

} // namespace

Timing combineRounds(const std::vector<Timing>& rounds, double bestProbe, double aloneProbe, bool& settled) {
    settled = true;
    if (rounds.empty()) return Timing();
    bool clocks = true;
    for (const Timing& r : rounds) clocks = clocks && r.clocks;
    size_t chosen = 0;
    for (size_t i = 1; i < rounds.size(); ++i)
        if (figure(rounds[i], clocks) < figure(rounds[chosen], clocks)) chosen = i;
    Timing t = rounds[chosen];
    t.rounds = static_cast<int>(rounds.size());
    t.roundMedianNs.clear();
    t.roundMedianClocks.clear();
    const double least = figure(t, clocks);
    std::vector<size_t> agree;
    int unexplained = 0;
    double most = least;
    for (size_t i = 0; i < rounds.size(); ++i) {
        const double v = figure(rounds[i], clocks);
        t.roundMedianNs.push_back(rounds[i].medianNs);
        t.roundMedianClocks.push_back(rounds[i].clocks ? rounds[i].medianClocks : 0);
        most = std::max(most, v);
        if (v <= (1 + kRoundsThreshold) * least) agree.push_back(i);
        else if (!(slowdown(rounds[i], bestProbe) > kProbeSharedThreshold)) ++unexplained;
    }
    t.roundSpread = least > 0 ? (most - least) / least : 0;
    const int reportedCalls = t.samples;
    t.samples = t.plannedCalls = t.dropped = 0; // the calls of every round
    for (const Timing& r : rounds) t.samples += r.samples, t.plannedCalls += r.plannedCalls, t.dropped += r.dropped;
    t.probeSlowdown = slowdown(t, bestProbe);
    loadOfRounds(rounds, t);
    const int confirming = static_cast<int>(agree.size());
    std::string reasons = sharedCallsReasons(rounds, agree);
    if (confirming < std::min<int>(2, t.rounds) && unexplained == 0) addReason(reasons, "core shared");
    if ((confirming < std::min<int>(2, t.rounds) || confirming <= unexplained) && unexplained > 0)
        addReason(reasons, "rounds disagree");
    if (t.probeSlowdown > kProbeSharedThreshold) addReason(reasons, "core shared");
    settled = reasons.empty();
    // Busy processors beside the entry: a cause unless the probe ran as on
    // a core alone (processors that share no units with the entry's).
    const bool alone = aloneProbe > 0 && t.probeClocks > 0 && t.probeClocks <= kProbeSharedThreshold * aloneProbe;
    if (t.otherCpusBusy > kBusyThreshold && !alone) addReason(reasons, "busy CPUs");
    if (reportedCalls < static_cast<int>(stats::kMinTestedCalls)) addReason(reasons, "few calls");
    t.unstableReason = reasons;
    return t;
}

namespace {

// The longest timed call: more time per entry means more calls, not longer ones.
constexpr double kLongestCallSeconds = 250e-6;

// The work of one round: its share of the calls, each at most
// kLongestCallSeconds long.
RunSettings roundSettings(const RunSettings& s, int rounds) {
    RunSettings r = s;
    if (s.work.checkOnly || s.work.trials < 1) return r;
    const double total = s.work.callSeconds * s.work.trials;
    r.work.callSeconds = std::min(s.work.callSeconds, kLongestCallSeconds);
    const double planned = std::max<double>(s.work.trials, std::round(total / r.work.callSeconds));
    r.work.trials = std::max(1, static_cast<int>(std::ceil(planned / rounds)));
    return r;
}

// Every timed round of every entry so far.
struct Rounds {
    std::vector<std::vector<Timing>> of; // per entry of the run
    double bestProbe[4] = {};            // per ProbeKind, the least in the run
    std::vector<bool> settled;
};

void record(Rounds& r, const RunInfo& run, size_t k, const Timing& t) {
    if (!t.done) return;
    r.of[k].push_back(t);
    const int kind = static_cast<int>(probeKindOf(run.entries[k].record.flags, run.machine.cpu));
    if (t.probeClocks > 0 && (r.bestProbe[kind] == 0 || t.probeClocks < r.bestProbe[kind]))
        r.bestProbe[kind] = t.probeClocks;
}

// One more round of the entries `order` in a scratch copy of the run: the
// timings are recorded, a failure (an entry that fails only now and then)
// replaces the entry's result and ends its rounds.
void laterRound(const Module& module, const circuit::Problem& problem, const Reference& reference,
                const RunSettings& s, const std::vector<size_t>& order, RunInfo& run, Rounds& r) {
    RunInfo scratch = run;
    for (size_t k : order) scratch.entries[k].timing = Timing(); // the answer fills in a fresh one
    runEntries(module, problem, reference, s, order, scratch);
    run.children = scratch.children;
    run.isolationSeconds = scratch.isolationSeconds;
    for (size_t k : order) {
        EntryResult& e = scratch.entries[k];
        if (isFailure(e.status)) {
            run.entries[k] = e;
            r.of[k].clear();
        } else if (e.ran) {
            record(r, run, k, e.timing);
        }
    }
}

// The entries of `toRun` still timed, in an order of its own for round `n`.
std::vector<size_t> orderFor(const std::vector<size_t>& toRun, const Rounds& r, int n, bool unsettledOnly) {
    std::vector<size_t> order;
    for (size_t k : toRun)
        if (!r.of[k].empty() && (!unsettledOnly || !r.settled[k])) order.push_back(k);
    std::mt19937 shuffle(static_cast<unsigned>(n));
    std::shuffle(order.begin(), order.end(), shuffle);
    return order;
}

// Combines every entry's rounds; true when some entry is not settled.
bool combine(const std::vector<size_t>& toRun, Rounds& r, RunInfo& run) {
    bool unsettled = false;
    for (size_t k : toRun) {
        if (r.of[k].empty()) continue;
        const int kind = static_cast<int>(probeKindOf(run.entries[k].record.flags, run.machine.cpu));
        bool settled = true;
        run.entries[k].timing = combineRounds(r.of[k], r.bestProbe[kind], probeAloneClocks(static_cast<ProbeKind>(kind)),
                                              settled);
        r.settled[k] = settled;
        unsettled = unsettled || !settled;
    }
    return unsettled;
}

} // namespace

void runRounds(const Module& module, const circuit::Problem& problem, const Reference& reference,
               const RunSettings& s, int rounds, const std::vector<size_t>& toRun, RunInfo& run) {
    const LoadSample start = loadNow(true);
    rounds = std::max(1, rounds);
    const RunSettings each = roundSettings(s, rounds);
    runEntries(module, problem, reference, each, toRun, run);
    if (s.work.checkOnly) return;
    run.rounds = rounds;
    Rounds r;
    r.of.resize(run.entries.size());
    r.settled.assign(run.entries.size(), true);
    for (size_t k : toRun)
        if (run.entries[k].ran && !isFailure(run.entries[k].status)) record(r, run, k, run.entries[k].timing);
    for (int n = 1; n < rounds && !interrupted(); ++n)
        laterRound(module, problem, reference, each, orderFor(toRun, r, n, false), run, r);
    // Retries: entries whose rounds did not settle get more, while they
    // may still settle and the run has not taken twice its rounds.
    for (int n = rounds; combine(toRun, r, run) && n < 2 * rounds && !interrupted(); ++n)
        laterRound(module, problem, reference, each, orderFor(toRun, r, n, true), run, r);
    const LoadShare load = loadBetween(start, loadNow(true));
    run.otherCpusBusy = load.otherCpusBusy;
    run.stealShare = load.stealShare;
}

void countFlagged(RunInfo& run) {
    run.flagged = 0;
    for (const EntryResult& e : run.entries)
        if (unstable(e.timing)) ++run.flagged;
}

} // namespace host
