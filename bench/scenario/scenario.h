// Scenario files: a line-based description of a facility, steps that drive a component, and the
// commands expected back. The language, its quoting and the runner that plays it.
#pragma once

#include "scenario/apply.h"
#include "scenario/parser.h"
#include "scenario/quote.h"
#include "scenario/runner.h"
#include "scenario/step.h"
