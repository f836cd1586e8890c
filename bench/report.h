#pragma once
// The results page: the figures with their targets and verdicts, how each was measured, the
// conditions of the run, and the micro-benchmark table.

#include <cmath>
#include <limits>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace vumo::bench {

struct Figure {
    explicit Figure(std::string name_, std::string target_ = {},
                    double limit_ = std::numeric_limits<double>::quiet_NaN())
        : name(std::move(name_)), target(std::move(target_)), limit(limit_) {}

    std::string name;
    std::string target;  // as the page shows it; empty: no target, shown for context
    double limit = std::numeric_limits<double>::quiet_NaN();  // measured <= limit meets it
    double measured = std::numeric_limits<double>::quiet_NaN();
    std::string measuredText;  // the median with its unit, and whatever helps to read it
    std::string how;
    std::string error;  // set when it could not be measured
    bool skipped = false;  // not measured by choice (the part was not asked for or not built)
};

enum class Verdict { met, missed, notMeasured, noTarget, notJudged };
Verdict Judge(const Figure& figure, bool shortMode);
const char* VerdictText(Verdict verdict);

struct MicroRow {
    std::string name;
    std::string time;   // median real time per iteration, with its unit
    std::string cpu;    // median CPU time per iteration
    std::string extra;  // throughput or counters
};

// A part of the page with a table of its own, between the figures and the micro-benchmarks.
struct Section {
    std::string title;
    std::string intro;  // before the table
    std::vector<Figure> figures;
    std::string after;  // after the table: what the figures are made of
};

// Adds `figures` to the section in their order; a figure that was to be measured and has no
// value sets `failed` and is said on stderr.
void AddFigures(Section& section, std::initializer_list<const Figure*> figures, bool& failed);

struct Report {
    bool shortMode = false;
    std::string command;      // how to reproduce it
    std::string date;
    std::vector<std::string> conditions;  // machine, build, load
    std::vector<Figure> figures;
    std::vector<Section> sections;
    std::vector<MicroRow> micro;
    std::string notes;        // appended as it is
};

// Escapes '|' so that a text can stand in a table cell.
std::string Cell(const std::string& text);
std::string RenderMarkdown(const Report& report);

}  // namespace vumo::bench
