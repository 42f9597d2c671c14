// The one meaning of a facility line and of a stimulus. The runner, the soak, the workout's
// vocabulary and the page all play them through here, so that a word the language learns is
// honoured everywhere at once.
#pragma once

#include "facility/facility.h"
#include "scenario/step.h"

#include <optional>
#include <string>

namespace zeph::bench {

// Applies a facility line (a step of class Facility) to f; any other step leaves f alone.
void applyFacilityLine(Facility& f, const Step& step);

// Delivers a stimulus (a step of class Stimulus) to the component on endpoint; a route or a
// database change goes to the facility, which tells whoever listens. Returns what the component
// answered a parent step (nullopt for null, and for every other step).
std::optional<std::string> deliverStimulus(Facility& f, int endpoint, const Step& step);

} // namespace zeph::bench
