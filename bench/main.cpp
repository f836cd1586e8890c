// vumo-bench: measures what an update and an idle program cost and writes the results page.
//
//   vumo-bench [--short] [--output FILE] [--notes FILE] [--bin DIR] [--runs N]
//              [--paint-runs N] [--idle-seconds S] [--wait-for-load L]
//              [--parts micro,update,station,window,pacing,station64] [--vm-figures FILE]
//              [--pacing-notes FILE] [--station64-notes FILE]
//              [--command TEXT] [Google Benchmark flags]
//
// micro:  Google Benchmark cases (CRC, reply recognition, loader, the in-process conversation)
// update: whole `vumo-dfu update --simulate` runs as children, real timings, and the pacing
//         floor counted in-process
// station: `vumo-dfu station --simulate=devices=8` against one device, application-mode path,
//         real timings: how its wall time scales, its CPU and its memory
// window: vumo-dfu-utility's wake-ups while idle, an update through its dialog with the
//         pauses counted, and its first paint, all offscreen
// pacing: `--pacing fast` against its floor and against standard pacing (bench/pacing.cpp);
//         --vm-figures adds the figure the test machine took on the real kernel
// station64: a bench of 64 devices on a terminal, standard and fast pacing, against one
//         device; the terminal display's redraw (bench/station64.cpp)
//
// --short runs each measurement once and quickly and gives no verdicts (CI keeps the benchmarks
// working with it). Missed targets never change the exit status: 0 when everything could be

#include "options.h"
#include "pacing.h"
#include "sections.h"
#include "station64.h"
#include "stats.h"

#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace vumo::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A section's notes file as it is, without its last line ends; empty when none was given.
std::string SectionNotes(const std::string& path, bool& failed) {
    if (path.empty()) return {};
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "vumo-bench: can't read %s\n", path.c_str());
        failed = true;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string notes = text.str();
    while (!notes.empty() && notes.back() == '\n') notes.pop_back();
    return notes;
}

int Run(const Options& o, int benchArgc, char** benchArgv) {
    char scratchTemplate[] = "/tmp/vumo-bench.XXXXXX";
    if (::mkdtemp(scratchTemplate) == nullptr) {
        std::perror("vumo-bench: mkdtemp");
        return 1;
    }
    struct RemoveScratch {
        std::string path;
        ~RemoveScratch() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } removeScratch{scratchTemplate};
    Programs programs;
    programs.bin = o.bin;
    programs.scratch = scratchTemplate;
    programs.idleSeconds = o.idleSeconds;
    // Idle means left alone: past start-up and past the caret's blink, which the window stops
    // after ten seconds without input, as desktops do.
    programs.settle = o.shortMode ? 1s : 12s;

    Report report;
    report.shortMode = o.shortMode;
    report.command = o.command;
    report.date = Now();
    utsname system{};
    ::uname(&system);
    report.conditions.push_back(CpuModel() + ", " +
                                std::to_string(std::thread::hardware_concurrency()) +
                                " logical processors, Linux " + system.release + "; build " +
                                VUMO_BENCH_BUILD_TYPE + ".");

    const std::size_t imageBytes = o.shortMode ? kShortImageBytes : kFullImageBytes;
    Figures figures(std::to_string(imageBytes / 128 + 1) + "-block");
    std::vector<LoadSpan> loads;
    if (o.parts.contains("micro") &&
        !MicroFigures(o, programs.scratch, benchArgc, benchArgv, figures, report))
        return 2;
    if (o.parts.contains("update")) UpdateFigures(o, programs, figures, report, loads);
    if (o.parts.contains("station")) {
        WaitForLowLoad(o, report.conditions);
        StationFigures(o, programs, figures, loads);
    }
    if (o.parts.contains("window")) WindowFigures(o, programs, figures, report, loads);
    bool sectionFailed = false;
    // A section whose figures depend on a quiet machine: started once the load has settled,
    // with the load before and after it said in its own text (it may be read apart from the
    // page's header).
    const auto timedSection = [&](const char* name, const auto& make) {
        WaitForLowLoad(o, report.conditions);
        LoadSpan span{name, LoadAverage()};
        report.sections.push_back(make());
        span.after = LoadAverage();
        report.sections.back().intro += "\n\nRun of " + report.date + " (" +
                                        report.conditions.front() + " Load average (1 min) " +
                                        Fixed(span.before, 2) + " → " + Fixed(span.after, 2) +
                                        ").";
        loads.push_back(span);
    };
    if (o.parts.contains("pacing")) {
        timedSection("fast pacing", [&] {
            const std::string notes = SectionNotes(o.pacingNotes, sectionFailed);
            return PacingSection({o.shortMode, o.runs, o.vmFigures, notes}, programs,
                                 sectionFailed);
        });
    }
    if (o.parts.contains("station64")) {
        timedSection("bench of 64", [&] {
            const std::string notes = SectionNotes(o.station64Notes, sectionFailed);
            auto section = Station64Section({o.shortMode, o.runs}, programs, sectionFailed);
            if (!notes.empty()) section.after += (section.after.empty() ? "" : "\n\n") + notes;
            return section;
        });
    }
    if (!loads.empty()) report.conditions.push_back(LoadLine(loads));

    bool failed = sectionFailed;
    for (auto [f, part] : figures.All()) {
        if (!o.parts.contains(part)) {
            if (f->target.empty()) continue;
            f->error = "not run";
        } else if (f->skipped) {
            if (f->target.empty()) continue;
        } else if (!f->error.empty() || std::isnan(f->measured)) {
            if (f->error.empty()) f->error = "no value";
            failed = true;
            std::fprintf(stderr, "vumo-bench: %s: %s\n", f->name.c_str(), f->error.c_str());
        }
        report.figures.push_back(*f);
    }

    if (!o.notes.empty()) {
        std::ifstream notes(o.notes);
        std::stringstream text;
        text << notes.rdbuf();
        report.notes = text.str();
    }
    const std::string page = RenderMarkdown(report);
    if (o.output.empty()) {
        std::fputs(page.c_str(), stdout);
    } else {
        std::ofstream out(o.output, std::ios::trunc);
        out << page;
        if (!out) {
            std::fprintf(stderr, "vumo-bench: can't write %s\n", o.output.c_str());
            return 1;
        }
        std::fprintf(stderr, "vumo-bench: wrote %s\n", o.output.c_str());
    }
    // The verdicts, for the terminal.
    std::vector<Figure> all = report.figures;
    for (const auto& section : report.sections)
        all.insert(all.end(), section.figures.begin(), section.figures.end());
    for (const auto& f : all)
        std::fprintf(stderr, "%-24s %s  %s\n", VerdictText(Judge(f, o.shortMode)),
                     f.name.c_str(), f.error.empty() ? f.measuredText.c_str() : f.error.c_str());
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace vumo::bench

int main(int argc, char** argv) {
    const auto options = vumo::bench::ParseOptions(argc, argv);
    if (!options) {
        std::fputs(vumo::bench::kUsage, stderr);
        return 2;
    }
    return vumo::bench::Run(*options, argc, argv);
}
