// kestrel: the command-line tool for readers and cards, on the library's public interface.
#include <iostream>

#include "commands.h"
#include "interrupt.h"

#ifndef KESTREL_TOOL_VERSION
#define KESTREL_TOOL_VERSION "0"
#endif

namespace kestrel::tool {

CLI::App* AddCommand(CLI::App& parent, Tool& tool, const std::string& name,
                     const std::string& description, std::function<void()> body) {
    CLI::App* command = parent.add_subcommand(name, description);
    AddGlobalOptions(*command, tool.options);
    command->callback([&tool, body = std::move(body)] { tool.run = body; });
    return command;
}

CLI::App* AddGroup(CLI::App& parent, Tool& tool, const std::string& name,
                   const std::string& description) {
    CLI::App* group = parent.add_subcommand(name, description);
    AddGlobalOptions(*group, tool.options);
    group->require_subcommand(1);
    return group;
}

namespace {

std::string VersionText() {
    return std::string("kestrel ") + KESTREL_TOOL_VERSION + " (KestrelAPI " +
           std::to_string(KESTREL_VERSION_MAJOR) + "." + std::to_string(KESTREL_VERSION_MINOR) +
           "." + std::to_string(KESTREL_VERSION_PATCH) + ")";
}

int Main(int argc, char** argv) {
    Tool tool;
    CLI::App app(
        "kestrel: contactless readers and cards from the command line.\n"
        "Exit status: 0 success, 1 the reader or the card refused or failed, 2 bad "
        "usage, 3 no reader could be opened, 130 interrupted.",
        "kestrel");
    app.set_version_flag("--version", VersionText());
    AddGlobalOptions(app, tool.options);
    app.require_subcommand(1);
    AddReaderCommands(app, tool);
    AddScanCommands(app, tool);
    AddClassicCommands(app, tool);
    AddUltralightCommands(app, tool);
    AddDesfireCommands(app, tool);
    AddApduCommand(app, tool);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    InstallInterruptHandler();
    try {
        tool.run();
        CheckInterrupt();
        return kExitOk;
    } catch (const Interrupted&) {
        std::cerr << "kestrel: interrupted\n";
        return kExitInterrupted;
    } catch (const UsageError& e) {
        std::cerr << "kestrel: " << e.what() << '\n';
        return kExitUsage;
    } catch (const NoReader& e) {
        std::cerr << "kestrel: " << e.what() << '\n';
        return kExitNoReader;
    } catch (const Failure& e) {
        std::cerr << "kestrel: " << e.what() << '\n';
        return kExitFailed;
    } catch (const std::exception& e) {
        std::cerr << "kestrel: " << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace

}  // namespace kestrel::tool

int main(int argc, char** argv) {
    return kestrel::tool::Main(argc, argv);
}
