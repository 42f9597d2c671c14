// The runner's apply and deliver stages: facility lines change the facility, steps drive the
// component through it.
#include "scenario/parser.h"
#include "scenario/runner.h"

namespace zeph::bench {

namespace {
int narrow(long long n) {
    // The parser has checked the range.
    return static_cast<int>(n);
}
} // namespace

void Runner::apply(const Step& step) {
    Facility& f = m_facility;
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
    case Step::Kind::Router: {
        const int dev = narrow(n[0]);
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
        break;
    }
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

void Runner::deliver(const Step& step) {
    report(Event::Kind::Step, step.source);
    Facility& f = m_facility;
    const int c = m_endpoint;
    const auto& n = step.numbers;
    const auto& w = step.words;
    const std::string text = step.text.value_or("");
    switch (step.kind) {
    case Step::Kind::Load:
        if (!f.load(c, m_factory, w.empty() ? m_options.basePath : w[0])) {
            m_result.loadFailed = true;
            fail("the factory returned null");
        }
        break;
    case Step::Kind::Unload:
        f.unload(c);
        break;
    case Step::Kind::Parent:
        m_lastAnswer = f.parent(c, text);
        break;
    case Step::Kind::Press:
        f.press(c, w[0], w[1], text);
        break;
    case Step::Kind::Revertive:
        f.revertive(c, narrow(n[0]), narrow(n[1]), text);
        break;
    case Step::Kind::DbChange:
        f.databaseChange(narrow(n[0]), narrow(n[1]), narrow(n[2]), text);
        break;
    case Step::Kind::Route:
        f.route(narrow(n[0]), narrow(n[1]), narrow(n[2]));
        break;
    case Step::Kind::Tick:
        f.tick(c, narrow(n[0]));
        break;
    case Step::Kind::Advance:
        f.advance(n[0]);
        break;
    case Step::Kind::Raw:
        f.raw(c, narrow(n[0]), step.text);
        break;
    case Step::Kind::Skip:
        forgetSent();
        break;
    default:
        break;
    }
}

} // namespace zeph::bench
