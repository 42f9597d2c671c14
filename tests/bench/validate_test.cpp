// validate on the clean test component and on each deliberately faulty build of it: every check
// passes on the first and the matching check fails (or crashes) on each of the others; the checks
// that need a workout are skipped without one, and breaches are sorted into checks by kind.
#include "built_paths.h"
#include "module_loader.h"
#include "validate/check.h"
#include "validate/isolate.h"
#include "validate/validate.h"
#include "zeph_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

using namespace zeph::bench;
using namespace zeph::host;

namespace {

std::string modulePath(const std::string& fault) {
    return std::string(zeph::built::testModuleDir) + "/test_component_" + fault + ".so";
}

// Validates the module with the workout beside it, as zeph-host does.
std::vector<CheckResult> run(const std::string& fault, ValidateOptions o = {}) {
    Module m;
    EXPECT_TRUE(m.open(modulePath(fault))) << m.error();
    if (!m.factory())
        return {};
    std::string error;
    if (!o.workout) {
        o.workout = loadWorkout(workoutBeside(modulePath(fault)), error);
        EXPECT_TRUE(o.workout) << error;
    }
    auto results = validate(m.factory(), o, nullptr, error);
    EXPECT_EQ(error, "");
    return results;
}

const CheckResult* find(const std::vector<CheckResult>& results, const std::string& name) {
    for (const CheckResult& r : results)
        if (r.name == name)
            return &r;
    return nullptr;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

} // namespace

TEST(validate, clean_component_passes_every_check) {
    ValidateOptions o;
    o.seed = 7;
    auto results = run("clean", o);
    ASSERT_EQ(results.size(), validateChecks().size());
    for (const CheckResult& r : results) {
        EXPECT_EQ(r.status, CheckResult::Status::Passed) << r.name << "\n" << joined(r.messages);
        // A pass says what it saw: how many replies the workout handed out.
        if (r.name == "replies-released") {
            EXPECT_NE(joined(r.messages).find(" replies handed out"), std::string::npos);
        }
    }
}

struct FaultCase {
    const char* fault;
    const char* check;
    CheckResult::Status status;
    const char* message;               // a fragment the report must contain
    std::set<std::string> mayAlsoFail; // checks that see the same fault from another side
};

// Names the case by its fault in test listings.
void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.fault;
}

class faulty_component : public ::testing::TestWithParam<FaultCase> {};

TEST_P(faulty_component, fails_the_matching_check_and_only_that_one) {
    const FaultCase& c = GetParam();
    ValidateOptions o;
    o.seed = 11;
    // Long enough for a slow sanitizer build on a busy machine; only the check that hangs is cut
    // short, and it runs alone.
    o.timeoutSeconds = 60;
    o.skip = {c.check};
    auto results = run(c.fault, o);
    o.skip.clear();
    o.only = {c.check};
    if (std::string(c.fault) == "hang")
        o.timeoutSeconds = 1.5;
    for (CheckResult& r : run(c.fault, o))
        results.push_back(std::move(r));
    ASSERT_EQ(results.size(), validateChecks().size());
    const CheckResult* named = find(results, c.check);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->status, c.status) << joined(named->messages);
    EXPECT_NE(joined(named->messages).find(c.message), std::string::npos)
        << joined(named->messages);
    for (const CheckResult& r : results) {
        if (r.name != c.check && !c.mayAlsoFail.count(r.name)) {
            EXPECT_EQ(r.status, CheckResult::Status::Passed) << r.name << "\n"
                                                             << joined(r.messages);
        }
    }
}

using S = CheckResult::Status;
INSTANTIATE_TEST_SUITE_P(
    validate, faulty_component,
    ::testing::Values(
        FaultCase{"leaky_reply", "replies-released", S::Failed, "not released", {"random"}},
        FaultCase{"send_after_detach",
                  "detach-last",
                  S::Failed,
                  "command after \"AS\": RU 5",
                  {"create-destroy", "random"}},
        FaultCase{"timer_left", "timers-stopped", S::Failed, "timer left running", {}},
        FaultCase{"crash_unknown",
                  "type-codes",
                  S::Crashed,
                  "type codes: type 8 with null data",
                  {"random"}},
        FaultCase{"hang", "type-codes", S::Crashed, "timed out", {}},
        FaultCase{
            "nonnull_return", "type-codes", S::Failed, "type 0 returned a non-null", {"random"}},
        FaultCase{"bad_answer", "answers", S::Failed, "not NUL-terminated", {"random"}},
        FaultCase{"leak_heap", "heap-growth", S::Failed, "grew in every stretch", {}},
        FaultCase{
            "null_host_crash", "null-host", S::Crashed, "last step: factory with a null host", {}},
        FaultCase{"rare_crash", "random", S::Crashed, "seed 11", {}},
        FaultCase{"null_factory",
                  "create-destroy",
                  S::Failed,
                  "factory returned null",
                  {"null-host", "type-codes", "detach-last", "timers-stopped", "random"}}),
    [](const auto& info) { return std::string(info.param.fault); });

// An isolated check's status comes from its child only when the check ran to its end: a component
// that ends the process itself is a crash, whatever its exit code says.
TEST(validate, an_isolated_check_ends_as_it_returned_or_as_a_crash) {
    using S = CheckResult::Status;
    const struct {
        S returned;
        int exitCode; // -1: the check returns
        S status;
        const char* says;
    } cases[] = {
        {S::Passed, -1, S::Passed, ""},
        {S::Failed, -1, S::Failed, ""},
        {S::Skipped, -1, S::Skipped, ""},
        {S::Passed, 0, S::Crashed, "ended the process (exit code 0) before the check ended"},
        {S::Passed, 4, S::Crashed, "(exit code 4)"},
    };
    for (const auto& c : cases) {
        const CheckResult r = runIsolated(
            [&] {
                if (c.exitCode >= 0)
                    std::_Exit(c.exitCode);
                CheckResult out;
                out.status = c.returned;
                out.messages = {"said", ""};
                return out;
            },
            30);
        EXPECT_EQ(r.status, c.status) << c.exitCode << " " << joined(r.messages);
        EXPECT_GT(r.seconds, 0);
        if (*c.says)
            EXPECT_NE(joined(r.messages).find(c.says), std::string::npos) << joined(r.messages);
        else
            EXPECT_EQ(r.messages, (std::vector<std::string>{"said", ""}));
    }
}

TEST(validate, random_run_replays_exactly_from_its_seed) {
    ValidateOptions o;
    o.only = {"random"};
    o.seed = 4242;
    auto first = run("rare_crash", o);
    auto second = run("rare_crash", o);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].status, CheckResult::Status::Crashed);
    // The crash report names the iteration it died in; the same seed dies in the same place.
    EXPECT_EQ(first[0].messages, second[0].messages);
    // A breach shows the trail before it: a line for every step, whatever the step was.
    o.seed = 11;
    const auto breached = run("no_detach", o);
    ASSERT_EQ(breached.size(), 1u);
    std::vector<int> trail;
    for (const std::string& m : breached[0].messages)
        if (const size_t at = m.find("iteration "); at != std::string::npos)
            trail.push_back(std::atoi(m.c_str() + at + 10));
    ASSERT_GE(trail.size(), 4u) << joined(breached[0].messages);
    for (size_t i = 1; i < trail.size(); ++i)
        EXPECT_LE(trail[i] - trail[i - 1], 1) << joined(breached[0].messages);
}

TEST(validate, a_crash_shows_the_end_of_what_the_component_wrote_to_stderr) {
    ValidateOptions o;
    o.only = {"type-codes"};
    auto results = run("crash_unknown", o);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, CheckResult::Status::Crashed);
    EXPECT_NE(joined(results[0].messages).find("stderr: test component: giving up on type 8"),
              std::string::npos)
        << joined(results[0].messages);
}

TEST(validate, only_and_skip_select_checks_and_reject_unknown_names) {
    ValidateOptions o;
    o.only = {"null-host", "answers"};
    o.skip = {"answers"};
    auto results = run("clean", o);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].name, "null-host");

    Module m;
    ASSERT_TRUE(m.open(modulePath("clean")));
    ValidateOptions bad;
    bad.only = {"no-such-check"};
    std::string error;
    EXPECT_TRUE(validate(m.factory(), bad, nullptr, error).empty());
    EXPECT_NE(error.find("no-such-check"), std::string::npos);
}

TEST(validate, without_a_workout_the_checks_that_need_one_are_skipped_and_say_why) {
    Module m;
    ASSERT_TRUE(m.open(modulePath("clean"))) << m.error();
    ValidateOptions o;
    o.iterations = 100;
    std::string error;
    const auto results = validate(m.factory(), o, nullptr, error);
    ASSERT_EQ(results.size(), validateChecks().size()) << error;
    size_t skipped = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const CheckResult& r = results[i];
        if (validateChecks()[i].needsWorkout) {
            ++skipped;
            EXPECT_EQ(r.status, CheckResult::Status::Skipped) << r.name;
            EXPECT_NE(joined(r.messages).find("no workout"), std::string::npos) << r.name;
        } else {
            EXPECT_EQ(r.status, CheckResult::Status::Passed) << r.name << "\n"
                                                             << joined(r.messages);
        }
    }
    EXPECT_EQ(skipped, 3u); // replies-released, answers, random
}

// With no workout the checks that still run go as far as creation and destruction take them, and
// that is far enough for faults made there.
TEST(validate, without_a_workout_faults_of_creation_and_destruction_still_fail) {
    const struct {
        const char* fault;
        const char* check;
    } cases[] = {{"timer_left", "timers-stopped"},
                 {"send_after_detach", "detach-last"},
                 {"leak_heap", "heap-growth"},
                 {"nonnull_return", "type-codes"}};
    for (const auto& c : cases) {
        Module m;
        ASSERT_TRUE(m.open(modulePath(c.fault))) << m.error();
        ValidateOptions o;
        o.only = {c.check};
        std::string error;
        const auto results = validate(m.factory(), o, nullptr, error);
        ASSERT_EQ(results.size(), 1u) << error;
        EXPECT_EQ(results[0].status, CheckResult::Status::Failed) << c.fault << "\n"
                                                                  << joined(results[0].messages);
    }
}

TEST(validate, breaches_are_sorted_by_kind_never_by_their_words) {
    using zeph::host::ErrorKind;
    // Words that would mislead a search: each breach reads like another kind.
    const Breaches found = {{ErrorKind::ReplyNotReleased, "answer not NUL-terminated"},
                            {ErrorKind::UnterminatedAnswer, "1 reply not released"},
                            {ErrorKind::TimerLeftRunning, "command after \"AS\""}};
    CheckResult answers;
    keep(answers, found, {ErrorKind::UnterminatedAnswer, ErrorKind::ReleaseReturned});
    EXPECT_EQ(answers.status, CheckResult::Status::Failed);
    EXPECT_EQ(answers.messages, std::vector<std::string>{"1 reply not released"});
    CheckResult detach;
    keep(detach, found, {ErrorKind::CommandAfterDetach, ErrorKind::DetachNotLast});
    EXPECT_EQ(detach.status, CheckResult::Status::Passed);
    EXPECT_TRUE(detach.messages.empty());
}

// Each check against every kind it claims, one at a time: a component that commits just that breach
// fails the check with it. A claim the check's way of driving cannot reach is named as such, so a
// claim dropped or added shows here either way.
struct Claims {
    const char* check;
    std::vector<ErrorKind> shown, unreachable;
};

void PrintTo(const Claims& c, std::ostream* os) {
    *os << c.check;
}

class check_claims : public ::testing::TestWithParam<Claims> {};

TEST_P(check_claims, each_kind_claimed_fails_the_check) {
    using K = ErrorKind;
    // The fault that commits each kind, and the words of its breach.
    static const std::map<K, std::pair<const char*, const char*>> breach = {
        {K::ReplyNotReleased, {"leaky_reply", "not released"}},
        {K::ReleasedTwice, {"double_release", "released twice"}},
        {K::ForeignRelease, {"foreign_release", "never handed out"}},
        {K::NullRelease, {"null_release", "release of a null pointer"}},
        {K::UnknownCallType, {"unknown_call", "with type 7"}},
        {K::NullCommand, {"null_command", "command with a null text"}},
        {K::CommandAfterDetach, {"send_after_detach", "command after \"AS\""}},
        {K::NoDetach, {"no_detach", "without sending \"AS\""}},
        {K::DetachNotLast, {"no_detach", "was not the last command"}},
        {K::TimerLeftRunning, {"timer_left", "timer left running"}},
        {K::UnterminatedAnswer, {"bad_answer", "not NUL-terminated"}},
        {K::ReleaseReturned, {"release_returned", "type 5 returned a non-null"}},
        {K::NonNullReturn, {"nonnull_return", "returned a non-null"}}};
    const Claims& c = GetParam();
    const auto named = std::find_if(validateChecks().begin(), validateChecks().end(),
                                    [&](const Check& k) { return std::string(k.name) == c.check; });
    ASSERT_NE(named, validateChecks().end());
    std::set<K> listed(c.shown.begin(), c.shown.end());
    listed.insert(c.unreachable.begin(), c.unreachable.end());
    EXPECT_EQ(std::set<K>(named->kinds.begin(), named->kinds.end()), listed);
    for (K k : c.shown) {
        const auto& [fault, words] = breach.at(k);
        ValidateOptions o;
        o.only = {c.check};
        o.seed = 11;
        const auto results = run(fault, o);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].status, CheckResult::Status::Failed) << fault;
        EXPECT_NE(joined(results[0].messages).find(words), std::string::npos)
            << errorKindName(k) << " from " << fault << ":\n"
            << joined(results[0].messages);
    }
}

using K = ErrorKind;
// Creation and destruction on a bare facility get no reply and send no notification; the random
// run stops at its first breach, and a misplaced "AS" is always first noticed as missing or
// followed; a runaway takes a million notifications, shown stopped by the facility's own test.
INSTANTIATE_TEST_SUITE_P(
    validate, check_claims,
    ::testing::Values(
        Claims{"create-destroy",
               {K::ForeignRelease, K::NullRelease, K::UnknownCallType, K::NullCommand,
                K::CommandAfterDetach, K::NoDetach, K::DetachNotLast},
               {K::ReplyNotReleased, K::ReleasedTwice, K::UnterminatedAnswer, K::ReleaseReturned,
                K::NonNullReturn, K::Runaway}},
        Claims{"type-codes",
               {K::UnknownCallType, K::NullCommand, K::NonNullReturn, K::ReleaseReturned},
               {}},
        Claims{"replies-released",
               {K::ReplyNotReleased, K::ReleasedTwice, K::ForeignRelease, K::NullRelease},
               {}},
        Claims{"answers", {K::UnterminatedAnswer, K::ReleaseReturned}, {}},
        Claims{"detach-last", {K::CommandAfterDetach, K::NoDetach, K::DetachNotLast}, {}},
        Claims{"timers-stopped", {K::TimerLeftRunning}, {}},
        Claims{"random",
               {K::ReplyNotReleased, K::ReleasedTwice, K::ForeignRelease, K::NullRelease,
                K::UnknownCallType, K::NullCommand, K::CommandAfterDetach, K::NoDetach,
                K::UnterminatedAnswer, K::ReleaseReturned, K::NonNullReturn},
               {K::DetachNotLast, K::Runaway}}),
    [](const auto& info) {
        std::string name = info.param.check;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST(validate, every_kind_of_breach_is_the_business_of_some_check) {
    for (zeph::host::ErrorKind k : zeph::host::allErrorKinds()) {
        bool claimed = false;
        for (const Check& c : validateChecks())
            claimed = claimed || std::find(c.kinds.begin(), c.kinds.end(), k) != c.kinds.end();
        EXPECT_TRUE(claimed) << zeph::host::errorKindName(k);
    }
}

// What --list says the check covers is the command table's query set, each named once.
TEST(validate, the_replies_check_names_every_query_of_the_command_table) {
    const auto& checks = validateChecks();
    auto it = std::find_if(checks.begin(), checks.end(), [](const Check& c) {
        return std::string(c.name) == "replies-released";
    });
    ASSERT_NE(it, checks.end());
    const std::string summary = it->summary;
    for (const zeph_command_info& c : zeph_commands) {
        const std::string word = std::string(c.mnemonic);
        const size_t at = summary.find(word);
        EXPECT_EQ(c.query != 0, at != std::string::npos) << word << " in " << summary;
        if (at != std::string::npos) {
            EXPECT_EQ(summary.find(word, at + 1), std::string::npos) << word << " twice";
        }
    }
}
