// A component's workout: found beside its module, read from a folder or one file, refused with the
// file and line of a bad step; and what the bench learns from it.
#include "workout/vocabulary.h"

#include "scenario/parser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace zeph::bench;
namespace fs = std::filesystem;

namespace {

// A fresh folder per test; CTest runs the cases as parallel processes.
class WorkoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(::testing::TempDir()) /
              ("workout_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) {
        const fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    fs::path dir;
};

const char* const kTake = R"(# configure, arm, take
name inst 201 7
router 5
router 5 drop 2
source 5 12 Camera 1
route 5 12 40
control 1 Button
load
expect PS '1' 'x.ui'
parent setting=a
parent inst=inst
expect ET 1 10000
press 1 Button go=1
parent take=7
expect ET 2 250
advance 250
revertive 5 40 Camera 1
unload
)";

const char* const kOther = R"(name inst 201 7
name other 6
router 5 delay 100
load
parent setting=b
dbchange 5 0 12 Renamed
tick 3
route 5 1 40
unload
)";

} // namespace

TEST_F(WorkoutTest, a_folder_reads_every_scenario_in_name_order_and_finds_the_take) {
    write("w/zz.zs", kOther);
    write("w/take.zs", kTake);
    write("w/notes.txt", "not a scenario");
    std::string error;
    auto w = loadWorkout((dir / "w").string(), error);
    ASSERT_TRUE(w) << error;
    ASSERT_EQ(w->scenarios.size(), 2u);
    EXPECT_EQ(fs::path(w->scenarios[0].file).filename(), "take.zs");
    EXPECT_EQ(fs::path(w->scenarios[1].file).filename(), "zz.zs");
    ASSERT_NE(w->take(), nullptr);
    EXPECT_EQ(w->take(), &w->scenarios[0]);
    EXPECT_EQ(w->find("zz"), &w->scenarios[1]);
    EXPECT_EQ(w->find("missing"), nullptr);
}

TEST_F(WorkoutTest, one_file_is_a_workout_whose_take_it_is) {
    const std::string path = write("road.zs", kOther);
    std::string error;
    auto w = loadWorkout(path, error);
    ASSERT_TRUE(w) << error;
    ASSERT_EQ(w->scenarios.size(), 1u);
    EXPECT_EQ(w->take(), &w->scenarios[0]);
}

TEST_F(WorkoutTest, missing_empty_and_bad_workouts_say_why) {
    write("bad/take.zs", "load\nparent x\ntick soon\n");
    fs::create_directories(dir / "empty");
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {(dir / "nowhere").string(), "no such workout folder or file"},
        {(dir / "empty").string(), "no scenario files"},
        {(dir / "bad").string(), "take.zs:3: \"soon\" is not a number"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(loadWorkout(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST_F(WorkoutTest, the_workout_beside_a_module_is_stem_dot_workout) {
    write("bin/Comp.so", "");
    EXPECT_EQ(workoutBeside((dir / "bin/Comp.so").string()), "");
    write("bin/Comp.workout/take.zs", kTake);
    EXPECT_EQ(workoutBeside((dir / "bin/Comp.so").string()), (dir / "bin/Comp.workout").string());
    EXPECT_EQ(workoutBeside((dir / "bin/Other.so").string()), "");
}

TEST_F(WorkoutTest, vocabulary_gathers_the_facility_configuration_and_words) {
    write("w/take.zs", kTake);
    write("w/zz.zs", kOther);
    std::string error;
    auto w = loadWorkout((dir / "w").string(), error);
    ASSERT_TRUE(w) << error;
    const Vocabulary v = vocabularyOf(*w);

    std::vector<std::string> facility;
    for (const Step& s : v.facility)
        facility.push_back(s.source);
    // Each line once; a router's delay or drop is the scenario's, not the facility's; a route made
    // while a component is loaded is a step, not a description.
    EXPECT_EQ(facility,
              (std::vector<std::string>{"name inst 201 7", "router 5", "source 5 12 Camera 1",
                                        "route 5 12 40", "control 1 Button", "name other 6"}));
    EXPECT_EQ(v.configuration, (std::vector<std::string>{"setting=a", "inst=inst"}));
    EXPECT_EQ(v.parents,
              (std::vector<std::string>{"setting=a", "inst=inst", "take=7", "setting=b"}));
    ASSERT_EQ(v.presses.size(), 1u);
    EXPECT_EQ(v.presses[0], (Press{"1", "Button", "go=1"}));
    ASSERT_EQ(v.revertives.size(), 1u);
    EXPECT_EQ(v.revertives[0], (Record{5, 0, 40, "Camera 1"}));
    ASSERT_EQ(v.databaseChanges.size(), 1u);
    EXPECT_EQ(v.databaseChanges[0], (Record{5, 0, 12, "Renamed"}));
    EXPECT_EQ(v.routers, (std::vector<int>{5}));
    EXPECT_EQ(v.destinations, (std::vector<int>{40}));
    // Timers from the tick steps and from the ET commands the scenarios expect.
    EXPECT_EQ(v.timers, (std::vector<int>{1, 2, 3}));
    for (const char* word : {"inst", "setting", "a", "Camera 1", "go", "x.ui", "Renamed"})
        EXPECT_NE(std::find(v.words.begin(), v.words.end(), word), v.words.end()) << word;
    for (int n : {201, 7, 12, 40, 250})
        EXPECT_NE(std::find(v.numbers.begin(), v.numbers.end(), n), v.numbers.end()) << n;
}

// Two questions of one step: does it describe the facility (played by the facility itself), and
// does it set up the world a workout starts from (a route counts there too).
TEST(WorldSteps, a_route_sets_up_the_world_but_describes_no_facility) {
    const struct {
        const char* line;
        bool facility, world;
    } rows[] = {
        {"router 5", true, true},         {"source 5 12 Camera 1", true, true},
        {"control 1 Button", true, true}, {"route 5 12 40", false, true},
        {"press 1 Button", false, false}, {"parent take=1", false, false},
    };
    for (const auto& r : rows) {
        std::string error;
        const auto s = parseScenario(std::string(r.line) + "\nexpect nothing\n", "t.zs", error);
        ASSERT_TRUE(s) << error;
        EXPECT_EQ(describesFacility(s->steps[0].kind), r.facility) << r.line;
        EXPECT_EQ(describesWorld(s->steps[0]), r.world) << r.line;
    }
}
