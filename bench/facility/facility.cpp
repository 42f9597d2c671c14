// The simulated facility: its description, its endpoints and what can be read back from it.
#include "facility/facility.h"

#include "bridge/bridged_module.h"

#include <algorithm>

namespace zeph::bench {

Facility::Facility(EventSink sink) {
    if (sink)
        rare().sink = std::move(sink);
}

Facility::~Facility() {
    // Components still loaded go first, while their hosts still exist; whoever listened to the
    // events may already be gone.
    if (m_rare)
        m_rare->sink = nullptr;
    if (m_rare && m_rare->captureFile && m_rare->ownsCaptureFile)
        std::fclose(m_rare->captureFile);
    for (auto& e : m_endpoints)
        if (e->host.component())
            e->host.destroy();
}

// ---- Description --------------------------------------------------------------------------------

void Facility::setName(const std::string& name, int device, std::optional<int> offset) {
    ownTables().names[name] = {device, offset};
}

void Facility::setDatabase(int device, int database, int index, const std::string& text) {
    ownTables().databases[{device, database, index}] = text;
}

void Facility::addRouter(int device) {
    m_routers[device];
}

void Facility::setRouterDelay(int device, int64_t ms) {
    Router& r = m_routers[device];
    r.delay = std::max<int64_t>(0, ms);
    if (r.delay > 0)
        r.inlineDelivery = false;
}

void Facility::setRouterDrop(int device, int count) {
    m_routers[device].drop = count;
}

void Facility::setRouterInline(int device, bool on) {
    if (on)
        host::bridge::expectInlineAnswers();
    Router& r = m_routers[device];
    r.inlineDelivery = on;
    if (on)
        r.delay = 0;
}

void Facility::addControl(const std::string& panel, const std::string& control,
                          const std::map<std::string, std::string>& properties,
                          const std::string& kind) {
    if (Control* c = findControl(panel, control)) {
        for (const auto& [k, v] : properties)
            c->properties[k] = v;
        if (!kind.empty())
            c->kind = kind;
        return;
    }
    Control c{control, {}, kind};
    for (const auto& [k, v] : properties)
        c.properties[k] = v;
    m_panels[panel].push_back(std::move(c));
}

void Facility::acceptPanelFile(const std::string& file) {
    rare().panelFiles.push_back(file);
}

void Facility::setReplyOverride(ReplyOverride r) {
    rare().replyOverride = std::move(r);
}

void Facility::setPanelShowOverride(std::function<bool()> accepted) {
    rare().panelShowOverride = std::move(accepted);
}

void Facility::copyDescription(const Facility& model) {
    m_tables = model.m_tables;
    m_routers = model.m_routers;
    m_panels = model.m_panels;
    if (model.m_rare && !model.m_rare->panelFiles.empty())
        rare().panelFiles = model.m_rare->panelFiles;
}

const Facility::Tables& Facility::tables() const {
    static const Tables none;
    return m_tables ? *m_tables : none;
}

Facility::Tables& Facility::ownTables() {
    if (!m_tables)
        m_tables = std::make_shared<Tables>();
    else if (m_tables.use_count() > 1)
        m_tables = std::make_shared<Tables>(*m_tables);
    return *m_tables;
}

Facility::Rare& Facility::rare() {
    if (!m_rare)
        m_rare = std::make_unique<Rare>();
    return *m_rare;
}

// ---- Endpoints ----------------------------------------------------------------------------------

int Facility::addEndpoint() {
    const int index = static_cast<int>(m_endpoints.size());
    m_endpoints.push_back(std::make_unique<Endpoint>());
    m_endpoints.back()->host.setResponder(
        [this, index](const std::string& command) { return execute(index, command); });
    return index;
}

Facility::Endpoint& Facility::ep(int endpoint) {
    return *m_endpoints.at(static_cast<size_t>(endpoint));
}

const Facility::Endpoint& Facility::ep(int endpoint) const {
    return *m_endpoints.at(static_cast<size_t>(endpoint));
}

RecordingHost& Facility::host(int endpoint) {
    return ep(endpoint).host;
}

void Facility::setPanels(int endpoint, std::vector<std::string> panels) {
    ep(endpoint).panels = std::move(panels);
}

std::string Facility::facilityPanel(int endpoint, const std::string& panel) const {
    const std::vector<std::string>& panels = ep(endpoint).panels;
    if (panels.empty())
        return panel;
    const std::optional<int> n = toInt(panel);
    if (n && *n >= 1 && *n <= static_cast<int>(panels.size()))
        return panels[*n - 1];
    // A panel it was not given is its own, which no other component's commands reach.
    return "@" + std::to_string(endpoint) + ":" + panel;
}

const std::vector<std::string>& Facility::panelsOf(int endpoint) const {
    return ep(endpoint).panels;
}

bool Facility::loaded(int endpoint) const {
    return ep(endpoint).host.component() != nullptr;
}

// ---- What was seen ------------------------------------------------------------------------------

const std::vector<std::string>& Facility::parentTexts(int endpoint) const {
    return ep(endpoint).parentTexts;
}

void Facility::forgetRecords(int endpoint, bool keepRoom) {
    Endpoint& e = ep(endpoint);
    if (keepRoom) {
        e.parentTexts.clear();
        e.host.forgetCommands();
    } else {
        std::vector<std::string>().swap(e.parentTexts);
        e.host.takeCommands();
    }
}

bool Facility::timerRunning(int endpoint, int id) const {
    return ep(endpoint).timers.count(id) != 0;
}

std::optional<int> Facility::crosspoint(int device, int destination) const {
    auto r = m_routers.find(device);
    if (r == m_routers.end())
        return std::nullopt;
    auto x = r->second.crosspoints.find(destination);
    if (x == r->second.crosspoints.end())
        return std::nullopt;
    return x->second;
}

Facility::Control* Facility::findControl(const std::string& panel, const std::string& control) {
    auto p = m_panels.find(panel);
    if (p == m_panels.end())
        return nullptr;
    for (Control& c : p->second)
        if (c.id == control)
            return &c;
    return nullptr;
}

const Facility::Control* Facility::findControl(const std::string& panel,
                                               const std::string& control) const {
    return const_cast<Facility*>(this)->findControl(panel, control);
}

std::string Facility::property(const std::string& panel, const std::string& control,
                               const std::string& name) const {
    const Control* c = findControl(panel, control);
    if (!c)
        return std::string();
    auto it = c->properties.find(name);
    return it == c->properties.end() ? std::string() : it->second;
}

void Facility::emitError(int endpoint, host::ErrorKind kind, std::string text) {
    ++m_breaches;
    if (!told(Event::Kind::HostError))
        return;
    Event e;
    e.kind = Event::Kind::HostError;
    e.time = m_now;
    e.component = endpoint;
    e.text = std::move(text);
    e.error = kind;
    m_rare->sink(e);
}

void Facility::emit(Event::Kind kind, int endpoint, const std::string& text,
                    const std::optional<std::string>& reply) {
    if (kind == Event::Kind::HostError)
        ++m_breaches;
    if (!told(kind))
        return;
    Event e;
    e.kind = kind;
    e.time = m_now;
    e.component = endpoint;
    e.text = text;
    e.reply = reply;
    m_rare->sink(e);
}

} // namespace zeph::bench
