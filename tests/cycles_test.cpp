// The timing figures of common/: the robust statistics of stats.h against
// sets whose answers are known, and the core-clock calibration of cycles.h
// (the host's and the bench's clock figures) against chains of additions of
// known length: k blocks are 100 * k one-cycle additions, whatever the core
// clock or the counter's rate.
#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "stats.h"

TEST(Stats, MedianDeviationAndPercentileResistOneOutlier) {
    struct Case {
        std::vector<double> v;
        double median, mad, p10;
    };
    const Case cases[] = {
        {{}, 0, 0, 0},
        {{7}, 7, 0, 7},
        {{5, 1, 4, 2, 3}, 3, 1, 1.4},
        // One stalled sample moves none of the three.
        {{5, 1, 4, 2, 3, 1000}, 3.5, 1.5, 1.5},
        {{2, 2, 2, 2, 9}, 2, 0, 2},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(stats::median(c.v), c.median) << c.v.size() << " samples";
        EXPECT_DOUBLE_EQ(stats::medianAbsoluteDeviation(c.v), c.mad) << c.v.size() << " samples";
        EXPECT_DOUBLE_EQ(stats::percentile(c.v, 10), c.p10) << c.v.size() << " samples";
    }
    EXPECT_DOUBLE_EQ(stats::percentile({4, 1, 3, 2}, 0), 1);
    EXPECT_DOUBLE_EQ(stats::percentile({4, 1, 3, 2}, 100), 4);
}

#if defined(__i386__) || defined(__x86_64__)
#include "cycles.h"

TEST(CycleClock, ChainsOfKnownLengthTakeOneClockPerAddition) {
    bench::CycleClock clock;
    const double usual = clock.typicalTicksPerCycle();
    ASSERT_GT(usual, 0);
    // A stalled calibration (both chains of a sample several times slower)
    // is not the clock's usual ratio, nor is one just past the tolerance on
    // either side; one just inside it is. The tolerance is a share of the
    // ratio, whatever the ratio of this machine's counter to its core clock.
    const double tolerance = bench::CycleClock::kCalibrationTolerance;
    EXPECT_FALSE(clock.typical(5.4 * usual));
    EXPECT_FALSE(clock.typical((1 - 1.1 * tolerance) * usual));
    EXPECT_FALSE(clock.typical((1 + 1.1 * tolerance) * usual));
    EXPECT_TRUE(clock.typical((1 - 0.9 * tolerance) * usual));
    EXPECT_TRUE(clock.typical((1 + 0.9 * tolerance) * usual));
    // The least of up to 31 calibrated samples of `blocks` blocks (false
    // when fewer than 5 were calibrated). Another program on the core only
    // lengthens a sample, and on a busy machine most of them: the least is
    // the one that ran alone, the median may be any of the spoiled ones.
    auto leastOf = [&](unsigned long blocks, double& least) {
        std::vector<double> clocks;
        for (int i = 0; i < 400 && clocks.size() < 31; ++i) {
            double ticks = 0, cycles = 0;
            if (bench::calibratedSample(clock, [&] { bench::additionChain(blocks); }, ticks, cycles))
                clocks.push_back(cycles);
        }
        if (clocks.size() < 5) return false;
        least = *std::min_element(clocks.begin(), clocks.end());
        return true;
    };
    for (unsigned long blocks : {40ul, 400ul, 4000ul}) {
        const double expected = 100.0 * blocks;
        // Within 5 % either side: the decrement and branch per block run
        // beside the chain, the interval's own reads are subtracted within a
        // few dozen clocks, and a calibration may be off by its tolerance.
        // Every sample of an attempt can be spoiled (ctest runs tests side
        // by side); a wrong calibration spoils all three attempts.
        const double slack = 0.05 * expected + 40;
        double least = 0;
        bool measured = false, near = false;
        for (int attempt = 0; attempt < 3 && !near; ++attempt) {
            double l = 0;
            if (!leastOf(blocks, l)) continue;
            if (!measured || std::fabs(l - expected) < std::fabs(least - expected)) least = l;
            measured = true;
            near = std::fabs(least - expected) <= slack;
        }
        ASSERT_TRUE(measured) << blocks << " blocks: the core clock never held still";
        EXPECT_NEAR(least, expected, slack) << blocks << " blocks";
    }
}
#endif
