// Named host-contract checks that any script component must pass, each run in a child process with
// a time limit so that a crash or a hang is reported rather than taking the bench down.
#pragma once

#include "zeph_client_callback.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zeph::bench {

struct CheckInfo {
    const char* name;
    const char* summary;
};
const std::vector<CheckInfo>& validateChecks();

struct ValidateOptions {
    std::string basePath;
    uint64_t seed = 1;
    int iterations = 2000;
    double timeoutSeconds = 30;
    std::vector<std::string> only; // empty: every check
    std::vector<std::string> skip;
    bool isolate = true; // false runs the checks in this process (for a debugger)
};

struct CheckResult {
    enum class Status { Passed, Failed, Crashed };
    std::string name;
    Status status = Status::Passed;
    double seconds = 0;
    std::vector<std::string> messages; // why it failed; notes when it passed
};
const char* statusName(CheckResult::Status status);

// Runs the selected checks in order; onResult sees each as it finishes. An unknown name in only or
// skip is an error: the result is empty and error says which.
std::vector<CheckResult> validate(zeph_factory_fn factory, const ValidateOptions& options,
                                  const std::function<void(const CheckResult&)>& onResult,
                                  std::string& error);

// Bytes of heap in use by this process (the sanitizer's allocator when it is in place).
size_t heapInUse();

} // namespace zeph::bench
