// Finds and reads a component's workout.
#include "workout/workout.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace zeph::bench {

const Scenario* Workout::find(const std::string& name) const {
    for (const Scenario& s : scenarios) {
        if (fs::path(s.file).stem().string() == name)
            return &s;
    }
    return nullptr;
}

const Scenario* Workout::take() const {
    if (const Scenario* s = find("take"))
        return s;
    return scenarios.size() == 1 ? &scenarios.front() : nullptr;
}

std::string workoutBeside(const std::string& modulePath) {
    fs::path module(modulePath);
    fs::path dir = module.parent_path() / (module.stem().string() + ".workout");
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir.string() : std::string();
}

std::optional<Workout> loadWorkout(const std::string& path, std::string& error) {
    std::error_code ec;
    std::vector<std::string> files;
    if (fs::is_directory(path, ec)) {
        for (const auto& entry : fs::directory_iterator(path, ec)) {
            if (entry.path().extension() == ".zs" && entry.is_regular_file(ec))
                files.push_back(entry.path().string());
        }
        if (ec) {
            error = path + ": " + ec.message();
            return std::nullopt;
        }
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            error = path + ": no scenario files (*.zs) in the workout";
            return std::nullopt;
        }
    } else if (fs::exists(path, ec)) {
        files.push_back(path);
    } else {
        error = path + ": no such workout folder or file";
        return std::nullopt;
    }
    Workout workout;
    workout.path = path;
    for (const std::string& file : files) {
        std::optional<Scenario> s = loadScenario(file, error);
        if (!s)
            return std::nullopt;
        workout.scenarios.push_back(std::move(*s));
    }
    return workout;
}

} // namespace zeph::bench
