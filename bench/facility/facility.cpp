// The simulated facility: executes each component's commands and delivers what follows from them.
#include "facility/facility.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace zeph::bench {

namespace {
// A longer answer is treated as unterminated rather than read on into foreign memory.
constexpr size_t kAnswerLimit = 65536;

std::optional<long long> toNumber(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size() || text.size() - i > 18)
        return std::nullopt;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9')
            return std::nullopt;
    return std::stoll(text);
}

std::optional<int> toInt(const std::string& text) {
    auto n = toNumber(text);
    if (!n || *n < INT32_MIN || *n > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(*n);
}

std::string lastPathPart(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
} // namespace

const char* kindName(Event::Kind kind) {
    switch (kind) {
    case Event::Kind::Step:
        return "step";
    case Event::Kind::Notify:
        return "notify";
    case Event::Kind::Command:
        return "command";
    case Event::Kind::Answer:
        return "answer";
    case Event::Kind::Parent:
        return "parent";
    case Event::Kind::Note:
        return "note";
    case Event::Kind::HostError:
        return "host-error";
    case Event::Kind::Expect:
        return "expect";
    case Event::Kind::Failure:
        return "failure";
    case Event::Kind::Debug:
        return "debug";
    }
    return "event";
}

std::vector<std::string> commandFields(const std::string& command) {
    std::vector<std::string> fields;
    size_t i = command.find(' ');
    if (i == std::string::npos)
        return fields;
    const size_t n = command.size();
    while (i < n) {
        while (i < n && command[i] == ' ')
            ++i;
        if (i >= n)
            break;
        if (command[i] == '\'') {
            size_t j = i + 1;
            while (j < n && !(command[j] == '\'' && (j + 1 == n || command[j + 1] == ' ')))
                ++j;
            fields.push_back(command.substr(i + 1, j - i - 1));
            i = j + 1;
        } else {
            const size_t j = std::min(command.find(' ', i), n);
            fields.push_back(command.substr(i, j - i));
            i = j;
        }
    }
    return fields;
}

struct Facility::Endpoint {
    RecordingHost host;
    std::map<int, Timer> timers;
    std::vector<Registration> registrations;
    std::vector<std::string> parentTexts;
    size_t errorsSeen = 0;
};

Facility::Facility(EventSink sink) : m_sink(std::move(sink)) {}

Facility::~Facility() {
    // Components still loaded go first, while their hosts still exist; whoever listened to the
    // events may already be gone.
    m_sink = nullptr;
    if (m_captureFile)
        std::fclose(m_captureFile);
    for (auto& e : m_endpoints)
        if (e->host.component())
            e->host.destroy();
}

void Facility::setName(const std::string& name, int device, std::optional<int> offset) {
    m_names[name] = {device, offset};
}

void Facility::setDatabase(int device, int database, int index, const std::string& text) {
    m_databases[{device, database, index}] = text;
}

void Facility::addRouter(int device) {
    m_routers[device];
}

void Facility::setRouterDelay(int device, int64_t ms) {
    m_routers[device].delay = std::max<int64_t>(0, ms);
}

void Facility::setRouterDrop(int device, int count) {
    m_routers[device].drop = count;
}

void Facility::addControl(const std::string& panel, const std::string& control,
                          const std::map<std::string, std::string>& properties) {
    if (Control* c = findControl(panel, control)) {
        for (const auto& [k, v] : properties)
            c->properties[k] = v;
        return;
    }
    m_panels[panel].push_back(Control{control, properties});
}

void Facility::acceptPanelFile(const std::string& file) {
    m_panelFiles.push_back(file);
}

void Facility::setReplyOverride(ReplyOverride r) {
    m_replyOverride = std::move(r);
}

void Facility::setPanelShowOverride(std::function<bool()> accepted) {
    m_panelShowOverride = std::move(accepted);
}

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

bool Facility::loaded(int endpoint) const {
    return ep(endpoint).host.component() != nullptr;
}

const std::vector<std::string>& Facility::parentTexts(int endpoint) const {
    return ep(endpoint).parentTexts;
}

void Facility::forgetRecords(int endpoint) {
    ep(endpoint).parentTexts.clear();
    ep(endpoint).host.takeCommands();
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

void Facility::emit(Event::Kind kind, int endpoint, std::string text,
                    std::optional<std::string> reply) {
    if (kind == Event::Kind::HostError)
        ++m_hostErrors;
    if (!m_sink)
        return;
    Event e;
    e.kind = kind;
    e.time = m_now;
    e.component = endpoint;
    e.text = std::move(text);
    e.reply = std::move(reply);
    m_sink(e);
}

void Facility::emitError(int endpoint, host::ErrorKind kind, std::string text) {
    ++m_hostErrors;
    if (!m_sink)
        return;
    Event e;
    e.kind = Event::Kind::HostError;
    e.time = m_now;
    e.component = endpoint;
    e.text = std::move(text);
    e.error = kind;
    m_sink(e);
}

// ---- Commands
// ------------------------------------------------------------------------------------

std::optional<std::string> Facility::execute(int endpoint, const std::string& command) {
    Endpoint& e = ep(endpoint);
    const std::string m = mnemonic(command);
    const std::vector<std::string> f = commandFields(command);
    auto num = [&](size_t i) { return i < f.size() ? toInt(f[i]) : std::nullopt; };
    std::optional<std::string> reply;
    std::string note;

    if (m == "HN") {
        const bool quoted =
            command.size() >= 5 && command.compare(0, 4, "HN '") == 0 && command.back() == '\'';
        const std::string text =
            quoted ? command.substr(4, command.size() - 5) : (f.empty() ? "" : f[0]);
        e.parentTexts.push_back(text);
        emit(Event::Kind::Command, endpoint, command);
        emit(Event::Kind::Parent, endpoint, text);
        return std::nullopt;
    } else if (m == "TP") {
        if (f.size() >= 3) {
            const size_t eq = f[0].find('=');
            const std::string name = f[0].substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : f[0].substr(eq + 1);
            if (Control* c = findControl(f[1], f[2]))
                c->properties[name] = value;
            else
                m_panels[f[1]].push_back(Control{f[2], {{name, value}}});
        } else {
            note = "TP with fewer than three fields";
        }
    } else if (m == "PS") {
        bool accepted = m_panelFiles.empty();
        if (f.size() >= 2)
            for (const std::string& file : m_panelFiles)
                accepted = accepted || lastPathPart(f[1]) == file;
        if (m_panelShowOverride)
            accepted = m_panelShowOverride();
        e.host.setPanelShowAccepted(accepted);
        emit(Event::Kind::Command, endpoint, command,
             accepted ? std::optional<std::string>("1") : std::nullopt);
        return std::nullopt;
    } else if (m == "SD" || m == "XI" || m == "RN" || m == "TG") {
        reply = answerQuery(m, f);
        if (m_replyOverride)
            reply = m_replyOverride(command, reply);
    } else if (m == "RC") {
        auto dev = num(0), src = num(1), dest = num(2);
        auto r = dev ? m_routers.find(*dev) : m_routers.end();
        if (r == m_routers.end() || !src || !dest) {
            note = "no such router: crosspoint ignored";
        } else {
            r->second.crosspoints[*dest] = *src;
            emit(Event::Kind::Command, endpoint, command);
            notifyRegistered(*dev, *dest);
            return std::nullopt;
        }
    } else if (m == "RR") {
        auto dev = num(0), first = num(1), last = num(2);
        if (dev && first && last) {
            const bool add = f.size() > 3 && f[3] == "ADD";
            if (!add) {
                for (const Registration& g : e.registrations)
                    if (g.device == *dev)
                        listen(endpoint, g, false);
            }
            if (!add)
                e.registrations.erase(std::remove_if(e.registrations.begin(), e.registrations.end(),
                                                     [&](auto& g) { return g.device == *dev; }),
                                      e.registrations.end());
            e.registrations.push_back({*dev, *first, *last});
            listen(endpoint, {*dev, *first, *last}, true);
        } else {
            note = "malformed RR";
        }
    } else if (m == "RU") {
        if (auto dev = num(0)) {
            for (const Registration& g : e.registrations)
                if (g.device == *dev)
                    listen(endpoint, g, false);
            e.registrations.erase(std::remove_if(e.registrations.begin(), e.registrations.end(),
                                                 [&](auto& g) { return g.device == *dev; }),
                                  e.registrations.end());
        }
    } else if (m == "RP") {
        auto dev = num(0), first = num(1), last = num(2);
        auto r = dev ? m_routers.find(*dev) : m_routers.end();
        if (r != m_routers.end() && first && last) {
            emit(Event::Kind::Command, endpoint, command);
            for (auto x = r->second.crosspoints.lower_bound(*first);
                 x != r->second.crosspoints.end() && x->first <= *last; ++x)
                sendRevertive(endpoint, *dev, x->first);
            return std::nullopt;
        }
        note = "no such router: poll ignored";
    } else if (m == "ET") {
        auto id = num(0);
        auto period = f.size() > 1 ? toNumber(f[1]) : std::nullopt;
        if (!id) {
            note = "malformed ET";
        } else if (f.size() > 1 && period && *period != 0) {
            // A period below one tick would never let the clock move on.
            const int64_t p = std::max<int64_t>(1, *period);
            const uint64_t gen = ++m_generation;
            e.timers[*id] = Timer{p, gen};
            Queued q{};
            q.time = m_now + p;
            q.endpoint = endpoint;
            q.kind = Queued::Tick;
            q.index = *id;
            q.generation = gen;
            schedule(q);
        } else {
            e.timers.erase(*id);
        }
    } else if (m != "AS") {
        note = "unknown command";
    }

    emit(Event::Kind::Command, endpoint, command, isQuery(command) ? reply : std::nullopt);
    if (!note.empty())
        emit(Event::Kind::Note, endpoint, note);
    return reply;
}

std::optional<std::string> Facility::answerQuery(const std::string& m,
                                                 const std::vector<std::string>& f) {
    if (m == "SD") {
        auto it = f.empty() ? m_names.end() : m_names.find(f[0]);
        if (it == m_names.end())
            return std::nullopt;
        std::string reply = std::to_string(it->second.first);
        if (it->second.second)
            reply += " " + std::to_string(*it->second.second);
        return reply;
    }
    if (m == "RN") {
        if (f.size() < 3)
            return std::nullopt;
        auto dev = toInt(f[0]), db = toInt(f[1]), index = toInt(f[2]);
        if (!dev || !db || !index)
            return std::nullopt;
        auto it = m_databases.find({*dev, *db, *index});
        if (it == m_databases.end())
            return std::nullopt;
        return it->second;
    }
    if (m == "XI") {
        auto p = f.empty() ? m_panels.end() : m_panels.find(f[0]);
        if (p == m_panels.end())
            return std::nullopt;
        const std::string prefix = f.size() > 1 ? f[1] : "";
        std::string list;
        for (const Control& c : p->second)
            if (c.id.compare(0, prefix.size(), prefix) == 0)
                list += (list.empty() ? "" : ",") + c.id;
        return list;
    }
    if (m == "TG") {
        if (f.size() < 3)
            return std::nullopt;
        const Control* c = findControl(f[0], f[1]);
        if (!c)
            return std::nullopt;
        auto it = c->properties.find(f[2]);
        return f[2] + "=" + (it == c->properties.end() ? "" : it->second);
    }
    return std::nullopt;
}

void Facility::sendRevertive(int endpoint, int device, int destination) {
    Router& r = m_routers[device];
    if (r.drop != 0) {
        if (r.drop > 0)
            --r.drop;
        emit(Event::Kind::Note, endpoint,
             "revertive " + std::to_string(device) + " " + std::to_string(destination) +
                 " dropped");
        return;
    }
    const int source = r.crosspoints.count(destination) ? r.crosspoints[destination] : 0;
    auto name = m_databases.find({device, 0, source});
    Queued q{};
    q.time = m_now + r.delay;
    q.endpoint = endpoint;
    q.kind = Queued::Revertive;
    q.device = device;
    q.index = destination;
    q.text = name != m_databases.end() ? name->second : std::to_string(source);
    schedule(std::move(q));
}

// ---- Delivery
// ------------------------------------------------------------------------------------

void Facility::schedule(Queued q) {
    q.seq = ++m_seq;
    m_queue.push(std::move(q));
}

void Facility::afterNotification(int endpoint) {
    Endpoint& e = ep(endpoint);
    const auto& errors = e.host.breaches();
    for (; e.errorsSeen < errors.size(); ++e.errorsSeen)
        emitError(endpoint, errors[e.errorsSeen].kind, errors[e.errorsSeen].text);
    ++m_delivered;
}

bool Facility::load(int endpoint, zeph_factory_fn factory, const std::string& basePath) {
    Endpoint& e = ep(endpoint);
    if (e.host.component())
        unload(endpoint);
    e.timers.clear();
    dropRegistrations(endpoint);
    emit(Event::Kind::Notify, endpoint, "create (base path \"" + basePath + "\")");
    enter(endpoint);
    const bool ok = e.host.create(factory, basePath.c_str());
    leave(endpoint);
    afterNotification(endpoint);
    if (!ok)
        emit(Event::Kind::Note, endpoint, "the factory returned null");
    settle();
    return ok;
}

void Facility::unload(int endpoint) {
    Endpoint& e = ep(endpoint);
    if (!e.host.component())
        return;
    emit(Event::Kind::Notify, endpoint, "destroy");
    enter(endpoint);
    e.host.destroy();
    leave(endpoint);
    afterNotification(endpoint);
    e.timers.clear();
    dropRegistrations(endpoint);
}

std::optional<std::string> Facility::parent(int endpoint, const std::string& text) {
    Endpoint& e = ep(endpoint);
    emit(Event::Kind::Notify, endpoint, "parent " + text);
    if (!e.host.component()) {
        emit(Event::Kind::Note, endpoint, "no component loaded");
        return std::nullopt;
    }
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    enter(endpoint);
    char* answer = e.host.raw(copy.data(), ZEPH_PARENT);
    std::optional<std::string> result;
    if (answer) {
        const size_t n = strnlen(answer, kAnswerLimit);
        if (n == kAnswerLimit)
            emitError(endpoint, host::ErrorKind::UnterminatedAnswer,
                      "answer not NUL-terminated within " + std::to_string(kAnswerLimit) +
                          " bytes");
        result = std::string(answer, n);
        if (e.host.raw(answer, ZEPH_RELEASE))
            emitError(endpoint, host::ErrorKind::ReleaseReturned,
                      "type 5 returned a non-null pointer");
    }
    leave(endpoint);
    emit(Event::Kind::Answer, endpoint, text, result);
    afterNotification(endpoint);
    settle();
    return result;
}

void Facility::press(int endpoint, const std::string& panel, const std::string& control,
                     const std::string& event) {
    Endpoint& e = ep(endpoint);
    emit(Event::Kind::Notify, endpoint,
         "press " + panel + " " + control + (event.empty() ? "" : " " + event));
    if (!e.host.component()) {
        emit(Event::Kind::Note, endpoint, "no component loaded");
        return;
    }
    enter(endpoint);
    e.host.press(panel, control, event);
    leave(endpoint);
    afterNotification(endpoint);
    settle();
}

void Facility::revertive(int endpoint, int device, int index, const std::string& text) {
    Queued q{};
    q.endpoint = endpoint;
    q.kind = Queued::Revertive;
    q.device = device;
    q.index = index;
    q.text = text;
    deliver(q);
    settle();
}

void Facility::database(int endpoint, int device, int db, int index, const std::string& text) {
    Queued q{};
    q.endpoint = endpoint;
    q.kind = Queued::Database;
    q.device = device;
    q.db = db;
    q.index = index;
    q.text = text;
    deliver(q);
    settle();
}

void Facility::tick(int endpoint, int id) {
    Endpoint& e = ep(endpoint);
    emit(Event::Kind::Notify, endpoint, "tick " + std::to_string(id));
    if (!e.host.component()) {
        emit(Event::Kind::Note, endpoint, "no component loaded");
        return;
    }
    enter(endpoint);
    e.host.tick(id);
    leave(endpoint);
    afterNotification(endpoint);
    settle();
}

void Facility::raw(int endpoint, int type, const std::optional<std::string>& text) {
    Endpoint& e = ep(endpoint);
    emit(Event::Kind::Notify, endpoint,
         "raw " + std::to_string(type) + (text ? " \"" + *text + "\"" : " null"));
    if (!e.host.component()) {
        emit(Event::Kind::Note, endpoint, "no component loaded");
        return;
    }
    std::vector<char> copy;
    if (text) {
        copy.assign(text->begin(), text->end());
        copy.push_back('\0');
    }
    enter(endpoint);
    char* r = e.host.raw(text ? copy.data() : nullptr, type);
    if (r && type == ZEPH_PARENT) {
        emit(Event::Kind::Answer, endpoint, *text, std::string(r, strnlen(r, kAnswerLimit)));
        e.host.raw(r, ZEPH_RELEASE);
    } else if (r) {
        emitError(endpoint,
                  type == ZEPH_RELEASE ? host::ErrorKind::ReleaseReturned
                                       : host::ErrorKind::NonNullReturn,
                  "type " + std::to_string(type) + " returned a non-null pointer");
    }
    leave(endpoint);
    afterNotification(endpoint);
    settle();
}

void Facility::listen(int endpoint, const Registration& g, bool on) {
    // Single destinations are looked up directly; ranges are few and walked.
    if (g.first == g.last) {
        auto& set = m_listeners[{g.device, g.first}];
        if (on)
            set.insert(endpoint);
        else
            set.erase(endpoint);
    } else {
        auto& set = m_rangeListeners[g.device];
        if (on)
            set.insert(endpoint);
        else
            set.erase(endpoint);
    }
}

void Facility::notifyRegistered(int device, int destination) {
    std::set<int> heard;
    if (auto it = m_listeners.find({device, destination}); it != m_listeners.end())
        heard = it->second;
    if (auto it = m_rangeListeners.find(device); it != m_rangeListeners.end())
        for (int i : it->second)
            for (const Registration& g : ep(i).registrations)
                if (g.device == device && g.first <= destination && destination <= g.last)
                    heard.insert(i);
    for (int i : heard)
        sendRevertive(i, device, destination);
}

void Facility::dropRegistrations(int endpoint) {
    Endpoint& e = ep(endpoint);
    for (const Registration& g : e.registrations)
        listen(endpoint, g, false);
    e.registrations.clear();
}

void Facility::route(int device, int source, int destination) {
    m_routers[device].crosspoints[destination] = source;
    notifyRegistered(device, destination);
    settle();
}

void Facility::databaseChange(int device, int db, int index, const std::string& text) {
    m_databases[{device, db, index}] = text;
    for (int i = 0; i < endpoints(); ++i) {
        if (!loaded(i))
            continue;
        Queued q{};
        q.time = m_now;
        q.endpoint = i;
        q.kind = Queued::Database;
        q.device = device;
        q.db = db;
        q.index = index;
        q.text = text;
        schedule(std::move(q));
    }
    settle();
}

void Facility::deliver(const Queued& q) {
    Endpoint& e = ep(q.endpoint);
    if (q.kind == Queued::Tick) {
        emit(Event::Kind::Notify, q.endpoint, "tick " + std::to_string(q.index));
    } else if (q.kind == Queued::Revertive) {
        emit(Event::Kind::Notify, q.endpoint,
             "revertive " + std::to_string(q.device) + " " + std::to_string(q.index) + " " +
                 q.text);
    } else {
        emit(Event::Kind::Notify, q.endpoint,
             "database " + std::to_string(q.device) + " " + std::to_string(q.db) + " " +
                 std::to_string(q.index) + " " + q.text);
    }
    if (!e.host.component()) {
        emit(Event::Kind::Note, q.endpoint, "no component loaded");
        return;
    }
    enter(q.endpoint);
    if (q.kind == Queued::Tick)
        e.host.tick(q.index);
    else if (q.kind == Queued::Revertive)
        e.host.revertive(q.device, q.index, q.text);
    else
        e.host.database(q.device, q.db, q.index, q.text);
    leave(q.endpoint);
    afterNotification(q.endpoint);
}

void Facility::setCaptureDebug(bool on) {
    if (on && !m_captureFile)
        m_captureFile = std::tmpfile();
    m_capture = on && m_captureFile;
}

void Facility::enter(int endpoint) {
    (void)endpoint;
    if (m_depth++ > 0 || !m_capture)
        return;
    std::fflush(stderr);
    m_savedStderr = dup(STDERR_FILENO);
    if (m_savedStderr >= 0)
        dup2(fileno(m_captureFile), STDERR_FILENO);
}

void Facility::leave(int endpoint) {
    if (--m_depth > 0 || !m_capture || m_savedStderr < 0)
        return;
    std::fflush(stderr);
    dup2(m_savedStderr, STDERR_FILENO);
    close(m_savedStderr);
    m_savedStderr = -1;
    const int fd = fileno(m_captureFile);
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    lseek(fd, 0, SEEK_SET);
    if (ftruncate(fd, 0) != 0)
        text += " (capture file could not be emptied)";
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty())
        emit(Event::Kind::Debug, endpoint, text);
}

void Facility::runUntil(int64_t target) {
    // Commands inside a notification only queue; delivery resumes when it has returned.
    if (m_depth > 0)
        return;
    size_t count = 0;
    while (!m_queue.empty() && m_queue.top().time <= target) {
        Queued q = m_queue.top();
        m_queue.pop();
        m_now = std::max(m_now, q.time);
        if (q.kind == Queued::Tick) {
            Endpoint& e = ep(q.endpoint);
            auto t = e.timers.find(q.index);
            if (t == e.timers.end() || t->second.generation != q.generation)
                continue;
            Queued next = q;
            next.time = q.time + t->second.period;
            schedule(next);
        }
        deliver(q);
        if (++count >= m_eventLimit) {
            emitError(q.endpoint, host::ErrorKind::Runaway,
                      "more than " + std::to_string(m_eventLimit) +
                          " notifications in one step: stopped (a feedback loop or a tiny period)");
            m_queue = {};
            for (auto& e : m_endpoints)
                e->timers.clear();
            break;
        }
    }
    m_now = std::max(m_now, target);
}

void Facility::settle() {
    runUntil(m_now);
}

void Facility::advance(int64_t ms) {
    runUntil(m_now + std::max<int64_t>(0, ms));
}

} // namespace zeph::bench
