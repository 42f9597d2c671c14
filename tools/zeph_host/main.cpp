// zeph-host: the bench CLI that loads a script component module and runs, validates, lets a person
// drive, soaks or serves it against a simulated facility. Each subcommand is one file of this
// folder; the work is in bench/.
#include "cli.h"

#include <iostream>

using namespace zeph::cli;

static int parseAndRun(int argc, char** argv) {
    CLI::App app{"zeph-host: the bench CLI for script component modules.\n"
                 "Loads a module, plays the panel host against a simulated facility and checks "
                 "the component's traffic."};
    app.require_subcommand(1);
    const Subcommand subcommands[] = {addRun(app),  addValidate(app), addShell(app),
                                      addSoak(app), addServe(app),    addTrace(app)};
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsage;
    }
    for (const Subcommand& s : subcommands)
        if (*s.command)
            return s.run();
    return kUsage;
}

int main(int argc, char** argv) {
    // Nothing below should throw; if it does, one line rather than an abort.
    try {
        return parseAndRun(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zeph-host: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "zeph-host: unexpected failure\n";
    }
    return kUsage;
}
