// Options and helpers shared by the subcommands.
#include "cli.h"
#include "isolate/process_guard.h"
#include "scenario/scenario.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace zeph::cli {

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        if (end > start)
            items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool useColour(const std::string& mode) {
    if (mode == "always")
        return true;
    if (mode == "never")
        return false;
    const char* term = std::getenv("TERM");
    return isatty(bench::benchStdout()) && !std::getenv("NO_COLOR") && term &&
           std::string(term) != "dumb";
}

bool openModule(host::Module& module, const std::string& path) {
    if (path.empty()) {
        std::cerr << "zeph-host: no module given\n";
        return false;
    }
    if (!module.open(path)) {
        std::cerr << "zeph-host: " << module.error() << "\n";
        return false;
    }
    return true;
}

std::optional<bench::Workout> findWorkout(const std::string& module, const std::string& given,
                                          std::string& error) {
    error.clear();
    const std::string path = given.empty() ? bench::workoutBeside(module) : given;
    if (path.empty())
        return std::nullopt;
    return bench::loadWorkout(path, error);
}

bool workoutFor(const Common& c, const std::string& given, std::optional<bench::Workout>& workout) {
    std::string error;
    workout = findWorkout(c.module, given, error);
    if (!workout && !error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return false;
    }
    return true;
}

bool openWithWorkout(const Common& c, const std::string& given, host::Module& module,
                     std::optional<bench::Workout>& workout) {
    return openModule(module, c.module) && workoutFor(c, given, workout);
}

std::string noWorkout(const std::string& module) {
    return "no workout (none beside the module as " +
           std::filesystem::path(module).stem().string() + ".workout, and no --workout PATH given)";
}

std::optional<bench::Scenario> workoutTake(const std::string& module, const std::string& given,
                                           std::string& error) {
    auto workout = findWorkout(module, given, error);
    if (!workout)
        return std::nullopt;
    if (!workout->take()) {
        error = workout->path + ": the workout has no take.zs to play";
        return std::nullopt;
    }
    return *workout->take();
}

bool loadScenarios(const std::vector<std::string>& paths, std::vector<bench::Scenario>& out) {
    std::string error;
    for (const std::string& path : paths) {
        auto s = bench::loadScenario(path, error);
        if (!s) {
            std::cerr << "zeph-host: " << error << "\n";
            return false;
        }
        out.push_back(std::move(*s));
    }
    return true;
}

bool refuseInstances(const std::vector<bench::Scenario>& scenarios, const std::string& why) {
    for (const bench::Scenario& s : scenarios)
        if (s.namesInstances()) {
            std::cerr << "zeph-host: " << s.file << ": names instances (@NAME), which " << why
                      << "\n";
            return true;
        }
    return false;
}

std::string ModuleShelf::pathOf(const std::string& stem) const {
    const std::filesystem::path beside(m_runModule);
    std::string suffix = std::filesystem::path(stem).extension().string();
    for (char& ch : suffix)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const bool own = suffix == ".so" || suffix == ".dll";
    return (beside.parent_path() / (own ? stem : stem + beside.extension().string())).string();
}

host::ComponentSource ModuleShelf::find(const std::string& stem, std::string& error) {
    // By file, so that module=Vigil and module=Vigil.dll open one DLL, not two of the bridge's few.
    const std::string path = pathOf(stem);
    if (auto it = m_opened.find(path); it != m_opened.end())
        return *it->second;
    const std::filesystem::path beside(m_runModule);
    if (m_own && m_own->factory() && std::filesystem::path(path).filename() == beside.filename())
        return m_ownFactory ? host::ComponentSource(m_ownFactory) : host::ComponentSource(*m_own);
    auto module = std::make_unique<host::Module>();
    if (!module->open(path)) {
        error = module->error();
        return {};
    }
    return *m_opened.emplace(path, std::move(module)).first->second;
}

bool ModuleShelf::openNamed(const std::vector<bench::Scenario>& scenarios) {
    for (const bench::Scenario& s : scenarios)
        for (const bench::Step& step : s.steps) {
            const std::string stem =
                step.kind == bench::Step::Kind::Load ? bench::loadRequest(step).module : "";
            std::string error;
            if (!stem.empty() && !find(stem, error)) {
                std::cerr << "zeph-host: " << s.file << ":" << step.line << ": module " << stem
                          << ": " << error << "\n";
                return false;
            }
        }
    return true;
}

std::function<host::ComponentSource(const std::string&, std::string&)> ModuleShelf::finder() {
    return [this](const std::string& stem, std::string& error) { return find(stem, error); };
}

} // namespace zeph::cli
