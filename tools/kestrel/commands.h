// The subcommands, one family per file; main() assembles them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "reader.h"

namespace kestrel::tool {

struct Tool {
    GlobalOptions options;
    // The command chosen on the command line; main() runs it after parsing.
    std::function<void()> run;
};

// A subcommand that takes the global options and, when chosen, runs `body`.
CLI::App* AddCommand(CLI::App& parent, Tool& tool, const std::string& name,
                     const std::string& description, std::function<void()> body);
// A group of subcommands ("mfc", "df"): one of them must be given.
CLI::App* AddGroup(CLI::App& parent, Tool& tool, const std::string& name,
                   const std::string& description);

void AddReaderCommands(CLI::App& app, Tool& tool);      // readers, info
void AddScanCommands(CLI::App& app, Tool& tool);        // scan, poll
void AddClassicCommands(CLI::App& app, Tool& tool);     // mfc ...
void AddUltralightCommands(CLI::App& app, Tool& tool);  // ul ...
void AddDesfireCommands(CLI::App& app, Tool& tool);     // df ...
void AddApduCommand(CLI::App& app, Tool& tool);         // apdu

}  // namespace kestrel::tool
