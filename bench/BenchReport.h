// One machine-readable line per measured figure, next to its baseline, for
// scripts/bench.sh to gather into one table. The human-readable lines of each
// benchmark stay as they are.
#pragma once

#include <cstdio>

namespace BENCH {

enum class Better { Higher, Lower };

// FIGURE|<name>|<value>|<unit>|<baseline name>|<baseline value>|<higher|lower>|<aim>
inline void ReportFigure(const char* name, double value, const char* unit,
                         const char* baselineName, double baselineValue, Better better,
                         const char* aim) {
    std::printf("FIGURE|%s|%.6g|%s|%s|%.6g|%s|%s\n", name, value, unit, baselineName,
                baselineValue, better == Better::Higher ? "higher" : "lower", aim);
    std::fflush(stdout);
}

}  // namespace BENCH
