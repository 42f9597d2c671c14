// zeph-host serve: options and start-up of the live panel page (the work is in bench/serve/).
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace zeph::cli {

struct ServeArgs {
    std::string module;
    std::vector<std::string> scenarios;
    std::string basePath;
    std::string bind = "127.0.0.1";
    int port = 0;
    bool captureStderr = false;
    bool open = false;
    bool noToken = false;
};

// Adds the subcommand to the app; the returned command tells main whether it was chosen.
CLI::App* addServeCommand(CLI::App& app, ServeArgs& args);
// Serves until SIGINT or SIGTERM. 0 when stopped so, 2 for a usage error, a module that cannot
// be loaded, a scenario that cannot be read or an address that cannot be listened on.
int serveCommand(const ServeArgs& args);

} // namespace zeph::cli
