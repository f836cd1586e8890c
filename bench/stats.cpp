#include "stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vumo::bench {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

double Median(std::vector<double> values) {
    if (values.empty()) return kNaN;
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid),
                     values.end());
    const double upper = values[mid];
    if (values.size() % 2 == 1) return upper;
    const double lower =
        *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty() || !(p > 0) || p > 100) return kNaN;
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Maximum(const std::vector<double>& values) {
    if (values.empty()) return kNaN;
    return *std::max_element(values.begin(), values.end());
}

std::string Fixed(double value, int digits) {
    if (std::isnan(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace vumo::bench
