// What the bench learns from a component's workout to drive it off its scripted road (validate's
// checks, the random run, the soak): the facility the scenarios describe, the configuration the
// take opens with, and every parent text, button, record, timer, word and number they use. Nothing
// here knows a component; a new workout brings new words.
#pragma once

#include "workout/workout.h"

#include <string>
#include <vector>

namespace zeph::bench {

struct Press {
    std::string panel, control, event;
    bool operator==(const Press& o) const {
        return panel == o.panel && control == o.control && event == o.event;
    }
};

// A revertive (database unused) or a database change.
struct Record {
    int device = 0, database = 0, index = 0;
    std::string text;
    bool operator==(const Record& o) const {
        return device == o.device && database == o.database && index == o.index && text == o.text;
    }
};

struct Vocabulary {
    // Every facility line of every scenario (router delays and drops left out) and every route made
    // before a component is loaded, each once, in the order first met.
    std::vector<Step> facility;
    // The take's parent texts between its load and its first other step: how a component is set up.
    std::vector<std::string> configuration;
    std::vector<std::string> parents; // every parent text
    std::vector<Press> presses;
    std::vector<Record> revertives;
    std::vector<Record> databaseChanges;
    std::vector<int> routers;       // devices of the router lines
    std::vector<int> destinations;  // destinations routed to or reverted
    std::vector<int> timers;        // ids of tick steps and of expected ET commands
    std::vector<std::string> words; // every text above, its parts around '=' and its fields
    std::vector<int> numbers;       // every number above
};

Vocabulary vocabularyOf(const Workout& workout);

// Facility lines and route steps: the steps that set up the world rather than notify a component
// (unlike describesFacility, a route counts: made before the load, it is part of the world).
bool describesWorld(const Step& step);

// Applies one facility line or route step to f.
void describe(Facility& f, const Step& step);

} // namespace zeph::bench
