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
    static const std::string none;
    const auto& n = step.numbers;
    const auto& w = step.words;
    const std::string& text = step.text ? *step.text : none;
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
        // Addressed, only that instance hears of the change.
        f.databaseChange(narrow(n[0]), narrow(n[1]), narrow(n[2]), text,
                         step.instance.empty() ? std::nullopt : std::optional<int>(endpoint));
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

void Runner::load(Instance& in, const Step& step) {
    Facility& f = m_facility;
    if (f.loaded(in.endpoint)) {
        // Loading again would destroy it and check the rest against another component.
        fail(in, std::string(in.name.empty() ? "the component is" : "it is") +
                     " loaded already: unload it first, or load another instance with @NAME load");
        m_refused = true;
        return;
    }
    const LoadRequest r = loadRequest(step);
    host::ComponentSource source = m_factory;
    if (!r.module.empty()) {
        std::string error = "no module but the run's can be loaded here";
        source = m_options.modules ? m_options.modules(r.module, error) : host::ComponentSource();
        if (!source) {
            // Nothing was loaded, so nothing is recorded: another load may follow.
            fail(in, "module " + r.module + ": " + error);
            m_refused = true;
            return;
        }
    }
    f.setPanels(in.endpoint, r.panels);
    in.everLoaded = true;
    in.faulted = false;
    // A named instance whose component faults in another process (a DLL's, in the bridge) fails
    // alone, as a panel host carries on with its other scripts; the facility plays on.
    if (!in.name.empty())
        source = source.named(
            in.name, [this, name = in.name](const std::string& line) { faulted(name, line); });
    // A factory that faulted made nothing, and said so.
    if (!f.load(in.endpoint, source, r.base.value_or(m_options.basePath),
                Creation{r.nullHost, r.nullBase}) &&
        !in.faulted) {
        m_result.loadFailed = true;
        fail(in, "the factory returned null");
    }
}

void Runner::faulted(const std::string& name, const std::string& line) {
    Instance& in = instance(name);
    in.faulted = true;
    fail(in, line);
}

void Runner::deliver(const Step& step) {
    report(Event::Kind::Step, step.source, step.instance);
    Facility& f = m_facility;
    Instance& in = instance(step.instance);
    switch (step.kind) {
    case Step::Kind::Load:
        load(in, step);
        break;
    case Step::Kind::Unload:
        f.unload(in.endpoint);
        break;
    case Step::Kind::Advance:
        f.advance(step.numbers[0]);
        break;
    case Step::Kind::Skip:
        forgetSent();
        break;
    case Step::Kind::Parent:
        in.lastAnswer = deliverStimulus(f, in.endpoint, step);
        break;
    default:
        deliverStimulus(f, in.endpoint, step);
        break;
    }
}

} // namespace zeph::bench
