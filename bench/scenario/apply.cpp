// Facility lines change the facility, stimuli drive the component through it; the runner's apply
// and deliver stages add the lifecycle and the clock.
#include "scenario/apply.h"

#include "scenario/parser.h"
#include "scenario/runner.h"

namespace zeph::bench {

namespace {
int narrow(long long n) {
    // The parser has checked the range.
    return static_cast<int>(n);
}

void applyRouter(Facility& f, const Step& step) {
    const int dev = narrow(step.numbers[0]);
    const auto& w = step.words;
    const std::string mode = w.empty() ? "" : w[0];
    f.addRouter(dev);
    if (mode == "delay") {
        f.setRouterDelay(dev, *toNumber(w[1]));
    } else if (mode == "drop") {
        f.setRouterDrop(dev, w.size() < 2 || w[1] == "all" ? -1 : *toInt(w[1]));
    } else if (mode == "inline") {
        f.setRouterInline(dev, true);
    } else if (mode == "normal") {
        f.setRouterDelay(dev, 0);
        f.setRouterDrop(dev, 0);
        f.setRouterInline(dev, false);
    }
}
} // namespace

void applyFacilityLine(Facility& f, const Step& step) {
    const auto& n = step.numbers;
    const auto& w = step.words;
    const std::string text = step.text.value_or("");
    switch (step.kind) {
    case Step::Kind::Name:
        f.setName(w[0], narrow(n[0]),
                  n.size() > 1 ? std::optional<int>(narrow(n[1])) : std::nullopt);
        break;
    case Step::Kind::Db:
        f.setDatabase(narrow(n[0]), narrow(n[1]), narrow(n[2]), text);
        break;
    case Step::Kind::Source:
        f.addRouter(narrow(n[0]));
        f.setDatabase(narrow(n[0]), 0, narrow(n[1]), text);
        break;
    case Step::Kind::Router:
        applyRouter(f, step);
        break;
    case Step::Kind::Control: {
        const ControlDeclaration d = controlDeclaration(step);
        f.addControl(w[0], w[1], d.properties, d.kind);
        break;
    }
    case Step::Kind::PanelFile:
        f.acceptPanelFile(w[0]);
        break;
    default:
        break;
    }
}

std::optional<std::string> deliverStimulus(Facility& f, int endpoint, const Step& step) {
    const auto& n = step.numbers;
    const auto& w = step.words;
    const std::string text = step.text.value_or("");
    switch (step.kind) {
    case Step::Kind::Parent:
        return f.parent(endpoint, text);
    case Step::Kind::Press:
        f.press(endpoint, w[0], w[1], text);
        break;
    case Step::Kind::Revertive:
        f.revertive(endpoint, narrow(n[0]), narrow(n[1]), text);
        break;
    case Step::Kind::DbChange:
        f.databaseChange(narrow(n[0]), narrow(n[1]), narrow(n[2]), text);
        break;
    case Step::Kind::Route:
        f.route(narrow(n[0]), narrow(n[1]), narrow(n[2]));
        break;
    case Step::Kind::Tick:
        f.tick(endpoint, narrow(n[0]));
        break;
    case Step::Kind::Raw:
        f.raw(endpoint, narrow(n[0]), step.text);
        break;
    default:
        break;
    }
    return std::nullopt;
}

void Runner::apply(const Step& step) {
    applyFacilityLine(m_facility, step);
}

void Runner::deliver(const Step& step) {
    report(Event::Kind::Step, step.source);
    Facility& f = m_facility;
    switch (step.kind) {
    case Step::Kind::Load:
        if (!f.load(m_endpoint, m_factory,
                    step.words.empty() ? m_options.basePath : step.words[0])) {
            m_result.loadFailed = true;
            fail("the factory returned null");
        }
        break;
    case Step::Kind::Unload:
        f.unload(m_endpoint);
        break;
    case Step::Kind::Advance:
        f.advance(step.numbers[0]);
        break;
    case Step::Kind::Skip:
        forgetSent();
        break;
    case Step::Kind::Parent:
        m_lastAnswer = deliverStimulus(f, m_endpoint, step);
        break;
    default:
        deliverStimulus(f, m_endpoint, step);
        break;
    }
}

} // namespace zeph::bench
