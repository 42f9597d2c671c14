// Process isolation for the checks: each check's messages come back through the child's pipe, its
// status as the exit code, and what it wrote to stderr through a file.
#include "validate/isolate.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace zeph::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The child's exit codes for a check that ran to its end; anything else is a crash.
constexpr int kExitPassed = 0, kExitFailed = 3, kExitSkipped = 4;
// The child's last message, after the check's own: a component that ends the process itself
// (exit(0) included) never gets to write it, so its exit code proves nothing.
const char* const kDone = "\x01done";

int exitCode(CheckResult::Status status) {
    switch (status) {
    case CheckResult::Status::Failed:
        return kExitFailed;
    case CheckResult::Status::Skipped:
        return kExitSkipped;
    default:
        return kExitPassed;
    }
}

std::vector<std::string> splitNul(const std::string& data) {
    std::vector<std::string> out;
    for (size_t i = 0; i < data.size();) {
        const size_t end = data.find('\0', i);
        out.push_back(data.substr(i, end - i));
        i = end == std::string::npos ? data.size() : end + 1;
    }
    return out;
}

// What the child wrote to stderr (the component's diagnostics, a sanitizer's or the bridge's
// report): kept out of the check list, summed up, and its end shown when the child crashed.
void reportStderr(std::FILE* file, CheckResult& result) {
    if (!file)
        return;
    std::string text;
    std::rewind(file);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0 && text.size() < (1u << 20))
        text.append(buf, n);
    std::fclose(file);
    std::vector<std::string> lines;
    for (size_t i = 0; i < text.size();) {
        const size_t end = std::min(text.find('\n', i), text.size());
        if (end > i)
            lines.push_back(text.substr(i, std::min<size_t>(end - i, 240)));
        i = end + 1;
    }
    if (lines.empty())
        return;
    if (result.status == CheckResult::Status::Crashed) {
        const size_t from = lines.size() > 6 ? lines.size() - 6 : 0;
        for (size_t i = from; i < lines.size(); ++i)
            result.messages.push_back("stderr: " + lines[i]);
    } else {
        result.messages.push_back(std::to_string(lines.size()) +
                                  (lines.size() == 1 ? " line" : " lines") +
                                  " of diagnostics on stderr (--in-process shows them)");
    }
}

// What the component did to the process beside the check: a fork that came back into the bench,
// bytes written to the bench's stdout. Each fails a check that would have passed.
void reportProcess(const std::string& forked, const Written& wrote, CheckResult& result) {
    std::vector<std::string> found;
    if (!forked.empty())
        found.push_back("the component forked at " + describeProgress(forked) +
                        ", and its child came back into the bench (it was ended there)");
    if (wrote.bytes)
        found.push_back(describeStdout(wrote));
    if (found.empty())
        return;
    if (result.status != CheckResult::Status::Crashed)
        result.status = CheckResult::Status::Failed;
    result.messages.insert(result.messages.end(), found.begin(), found.end());
}

CheckResult crashed(std::string why) {
    CheckResult r;
    r.status = CheckResult::Status::Crashed;
    r.messages.push_back(std::move(why));
    return r;
}

// What the child's exit code says, once the child has said it finished; anything else a crash.
CheckResult::Status statusOf(const ChildEnd& end, bool done) {
    if (done && end.how == ChildEnd::How::Exited) {
        switch (end.code) {
        case kExitPassed:
            return CheckResult::Status::Passed;
        case kExitFailed:
            return CheckResult::Status::Failed;
        case kExitSkipped:
            return CheckResult::Status::Skipped;
        default:
            break;
        }
    }
    return CheckResult::Status::Crashed;
}

} // namespace

CheckResult runIsolated(const std::function<CheckResult()>& run, double timeoutSeconds) {
    std::FILE* errors = std::tmpfile();
    const ChildEnd end = runChild(
        [&](int fd) {
            const CheckResult r = run();
            std::string data;
            for (const std::string& m : r.messages)
                data += m + '\0';
            data += std::string(kDone) + '\0';
            writeAll(fd, data);
            return exitCode(r.status);
        },
        timeoutSeconds, errors);
    if (end.how == ChildEnd::How::NotStarted) {
        if (errors)
            std::fclose(errors);
        return crashed(end.why);
    }
    CheckResult result;
    result.seconds = end.seconds;
    result.messages = splitNul(end.data);
    const std::string last = end.last.empty() ? "(not started)" : end.last;
    const bool done = !result.messages.empty() && result.messages.back() == kDone;
    if (done)
        result.messages.pop_back();
    std::string why = end.why;
    if (end.how == ChildEnd::How::Exited && !done)
        why = "the component ended the process (exit code " + std::to_string(end.code) +
              ") before the check ended";
    result.status = statusOf(end, done);
    if (result.status == CheckResult::Status::Crashed)
        result.messages.push_back(why + "; last step: " + last);
    reportProcess(end.forked, end.wroteStdout, result);
    reportStderr(errors, result);
    return result;
}

CheckResult runInProcess(const std::function<CheckResult()>& run) {
    const auto start = Clock::now();
    CheckResult result = run();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reportProcess(takeForeignFork(), takeStdout(), result);
    return result;
}

} // namespace zeph::bench
