#pragma once
// Small statistics over repeated measurements. Shared machines are noisy, so figures are
// medians and tail percentiles, never means.

#include <cstdint>
#include <string>
#include <vector>

namespace vumo::bench {

// The middle value (the mean of the two middle ones for an even count); NaN when empty.
double Median(std::vector<double> values);
// Nearest-rank percentile, p in (0, 100]: the smallest value with at least p % of the values at
// or below it. NaN when empty.
double Percentile(std::vector<double> values, double p);
double Maximum(const std::vector<double>& values);

// "12.3" style: `digits` after the point; "n/a" for NaN.
std::string Fixed(double value, int digits);

}  // namespace vumo::bench
