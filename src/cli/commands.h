#pragma once
// Each command of vumo-dfu registers itself on the application; its callback stores the exit
// status in `exitCode`. The options every command shares are parsed into `common` before any
// callback runs.

#include "cli/options.h"

#include <CLI/CLI.hpp>

namespace vumo::cli {

void AddListCommand(CLI::App& app, const CommonOptions& common, int& exitCode);
void AddCheckCommand(CLI::App& app, const CommonOptions& common, int& exitCode);
void AddUpdateCommand(CLI::App& app, const CommonOptions& common, int& exitCode);
void AddStationCommand(CLI::App& app, const CommonOptions& common, int& exitCode);

// `check` on an application without the shared options (a test of the one command): it runs
// as without -v.
void AddCheckCommand(CLI::App& app, int& exitCode);

}  // namespace vumo::cli
