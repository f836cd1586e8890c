#pragma once
// Each command of vumo-dfu registers itself on the application; its callback stores the exit
// status in `exitCode`.

#include <CLI/CLI.hpp>

namespace vumo::cli {

void AddListCommand(CLI::App& app, int& exitCode);
void AddCheckCommand(CLI::App& app, int& exitCode);
void AddUpdateCommand(CLI::App& app, int& exitCode);

}  // namespace vumo::cli
