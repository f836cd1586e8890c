#include "machine.h"

#include "programs.h"
#include "report.h"
#include "stats.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

namespace vumo::bench {

using namespace std::chrono_literals;

double LoadAverage() {
    double load[1] = {kNaN};
    return ::getloadavg(load, 1) == 1 ? load[0] : kNaN;
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&t));
    return text;
}

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown processor";
}

void WaitForLowLoad(const Options& o, std::vector<std::string>& conditions) {
    if (!(o.waitForLoad > 0)) return;
    const auto deadline = Clock::now() + 20min;
    while (LoadAverage() >= o.waitForLoad && Clock::now() < deadline) {
        std::fprintf(stderr, "vumo-bench: load %.2f, waiting for it to fall below %.2f\n",
                     LoadAverage(), o.waitForLoad);
        std::this_thread::sleep_for(15s);
    }
    if (LoadAverage() >= o.waitForLoad)
        conditions.push_back("The load did not fall below " + Fixed(o.waitForLoad, 2) +
                             " within 20 minutes; the whole-process figures were taken anyway.");
}

std::string LoadLine(const std::vector<LoadSpan>& spans) {
    std::string line = "Load average (1 min) before → after each whole-process figure: ";
    for (std::size_t i = 0; i < spans.size(); ++i)
        line += (i ? "; " : "") + spans[i].what + " " + Fixed(spans[i].before, 2) + " → " +
                Fixed(spans[i].after, 2);
    return line + ".";
}

}  // namespace vumo::bench
