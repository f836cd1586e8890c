#pragma once
// What the machine was doing while vumo-bench measured: its processor, the time, its load.

#include "options.h"

#include <string>
#include <vector>

namespace vumo::bench {

double LoadAverage();  // 1 minute; NaN when unknown
std::string Now();     // "2026-12-09 10:58 UTC"
std::string CpuModel();

// With --wait-for-load: waits (at most 20 minutes) for the load to fall below it, and notes in
// `conditions` when it did not.
void WaitForLowLoad(const Options& o, std::vector<std::string>& conditions);

// The load before and after one whole-process figure, and the page's line of them.
struct LoadSpan {
    std::string what;
    double before = 0, after = 0;  // NaN where unknown
};
std::string LoadLine(const std::vector<LoadSpan>& spans);

}  // namespace vumo::bench
