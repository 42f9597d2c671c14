// Notifications to the components, and the queue of those that wait for their time.
#include "facility/facility.h"

#include "scenario/parser.h"

#include "zeph_records.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace zeph::bench {

namespace {
// A longer answer is treated as unterminated rather than read on into foreign memory.
constexpr size_t kAnswerLimit = 65536;

std::vector<char> terminatedCopy(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return copy;
}

// The data of a raw notification, built so that a component reading it as the record its type
// names stays inside memory the bench allocated: the bytes fill a record of that record's own
// size (zeros when they are short), a record's text is NUL-terminated, and a button record's
// pointers are the bench's own (each text is the given bytes, the event every word of them).
class RawData {
public:
    RawData(int type, const std::optional<std::string>& text) {
        if (!text)
            return;
        m_text = terminatedCopy(*text);
        if (type == ZEPH_REVERTIVE || type == ZEPH_DATABASE) {
            m_bytes.assign(std::max<size_t>(text->size(), 16) + 1, '\0');
            std::memcpy(m_bytes.data(), text->data(), text->size());
        } else if (type == ZEPH_BUTTON) {
            m_bytes.assign(sizeof(zeph_button_record), '\0');
            std::memcpy(m_bytes.data(), text->data(), std::min(text->size(), m_bytes.size()));
            const char* t = m_text.data();
            m_event.command = t;
            m_event.value = t;
            for (const char*& sub : m_event.sub)
                sub = t;
            zeph_button_record record;
            std::memcpy(&record, m_bytes.data(), sizeof record);
            record.panel = t;
            record.control = t;
            record.event = &m_event;
            std::memcpy(m_bytes.data(), &record, sizeof record);
        } else {
            m_bytes = m_text;
        }
    }
    char* data() { return m_bytes.empty() ? nullptr : m_bytes.data(); }

private:
    std::vector<char> m_text;
    std::vector<char> m_bytes;
    zeph_parent_event m_event{};
};
} // namespace

template <class What, class Call, class Then>
bool Facility::notify(int endpoint, What&& what, Call&& call, Then&& then, unsigned flags) {
    if (told(Event::Kind::Notify))
        emit(Event::Kind::Notify, endpoint, what());
    Endpoint& e = ep(endpoint);
    if ((flags & kNeedsComponent) && !e.host.component()) {
        emit(Event::Kind::Note, endpoint, "no component loaded");
        return false;
    }
    enter(endpoint);
    call(e.host);
    leave(endpoint);
    then();
    afterNotification(endpoint);
    if (flags & kSettle)
        settle();
    return true;
}

void Facility::afterNotification(int endpoint) {
    Endpoint& e = ep(endpoint);
    const auto& errors = e.host.breaches();
    for (; e.errorsSeen < errors.size(); ++e.errorsSeen)
        emitError(endpoint, errors[e.errorsSeen].kind, errors[e.errorsSeen].text);
    ++m_delivered;
}

// ---- Life ---------------------------------------------------------------------------------------

bool Facility::load(int endpoint, host::ComponentSource factory, const std::string& basePath,
                    Creation how) {
    Endpoint& e = ep(endpoint);
    if (e.host.component())
        unload(endpoint);
    e.timers.clear();
    dropTicks(endpoint, std::nullopt);
    dropRegistrations(endpoint);
    bool ok = false;
    notify(
        endpoint,
        [&] {
            return std::string("create (") + (how.nullHost ? "null host, " : "") +
                   (how.nullBase ? std::string("null base path)")
                                 : "base path \"" + basePath + "\")");
        },
        [&](RecordingHost& h) {
            ok = h.create(factory, how.nullBase ? nullptr : basePath.c_str(), !how.nullHost);
        },
        [] {}, 0);
    if (!ok)
        emit(Event::Kind::Note, endpoint, "the factory returned null");
    settle();
    return ok;
}

void Facility::unload(int endpoint) {
    if (!loaded(endpoint))
        return;
    notify(
        endpoint, [] { return std::string("destroy"); }, [](RecordingHost& h) { h.destroy(); },
        [] {}, kNeedsComponent);
    ep(endpoint).timers.clear();
    dropTicks(endpoint, std::nullopt);
    dropRegistrations(endpoint);
}

// ---- Notifications ------------------------------------------------------------------------------

std::optional<std::string> Facility::parent(int endpoint, const std::string& text) {
    std::optional<std::string> result;
    notify(
        endpoint, [&] { return makeStep(Step::Kind::Parent, {}, {}, text).source; },
        [&](RecordingHost& h) {
            std::vector<char> copy = terminatedCopy(text);
            char* answer = h.raw(copy.data(), ZEPH_PARENT);
            if (!answer)
                return;
            const size_t n = strnlen(answer, kAnswerLimit);
            if (n == kAnswerLimit)
                emitError(endpoint, host::ErrorKind::UnterminatedAnswer,
                          "answer not NUL-terminated within " + std::to_string(kAnswerLimit) +
                              " bytes");
            result = std::string(answer, n);
            if (h.raw(answer, ZEPH_RELEASE))
                emitError(endpoint, host::ErrorKind::ReleaseReturned,
                          "type 5 returned a non-null pointer");
        },
        [&] { emit(Event::Kind::Answer, endpoint, text, result); });
    return result;
}

void Facility::press(int endpoint, const std::string& panel, const std::string& control,
                     const std::string& event) {
    notify(
        endpoint,
        [&] {
            return makeStep(Step::Kind::Press, {}, {panel, control}, event).source;
        },
        [&](RecordingHost& h) { h.press(panel, control, event); });
}

void Facility::revertive(int endpoint, int device, int index, const std::string& text) {
    // time, seq, endpoint, kind, device, db, index, text, generation
    deliver(Queued{m_now, 0, endpoint, Queued::Revertive, device, 0, index, text, 0});
    settle();
}

void Facility::database(int endpoint, int device, int db, int index, const std::string& text) {
    deliver(Queued{m_now, 0, endpoint, Queued::Database, device, db, index, text, 0});
    settle();
}

void Facility::tick(int endpoint, int id) {
    notify(
        endpoint, [&] { return makeStep(Step::Kind::Tick, {id}).source; },
        [&](RecordingHost& h) { h.tick(id); });
}

void Facility::raw(int endpoint, int type, const std::optional<std::string>& text) {
    notify(
        endpoint, [&] { return makeStep(Step::Kind::Raw, {type}, {}, text).source; },
        [&](RecordingHost& h) {
            RawData data(type, text);
            char* r = h.raw(data.data(), type);
            if (r && type == ZEPH_PARENT) {
                emit(Event::Kind::Answer, endpoint, text.value_or(""),
                     std::string(r, strnlen(r, kAnswerLimit)));
                h.raw(r, ZEPH_RELEASE);
            } else if (r) {
                emitError(endpoint,
                          type == ZEPH_RELEASE ? host::ErrorKind::ReleaseReturned
                                               : host::ErrorKind::NonNullReturn,
                          "type " + std::to_string(type) + " returned a non-null pointer");
            }
        });
}

void Facility::deliver(const Queued& q) {
    const auto what = [&] {
        if (q.kind == Queued::Tick)
            return makeStep(Step::Kind::Tick, {q.index}).source;
        if (q.kind == Queued::Revertive)
            return makeStep(Step::Kind::Revertive, {q.device, q.index}, {}, q.text).source;
        return makeStep(Step::Kind::DbChange, {q.device, q.db, q.index}, {}, q.text).source;
    };
    notify(
        q.endpoint, what,
        [&](RecordingHost& h) {
            if (q.kind == Queued::Tick)
                h.tick(q.index);
            else if (q.kind == Queued::Revertive)
                h.revertive(q.device, q.index, q.text);
            else
                h.database(q.device, q.db, q.index, q.text);
        },
        [] {}, kNeedsComponent);
}

// ---- The queue and the virtual clock ------------------------------------------------------------

void Facility::schedule(Queued q) {
    q.seq = ++m_seq;
    m_queue.push_back(std::move(q));
    std::push_heap(m_queue.begin(), m_queue.end(), std::greater<Queued>());
}

void Facility::dropTicks(int endpoint, std::optional<int> id) {
    // Each would be skipped when due (its generation is gone); dropped now, they spare the queue
    // its room meanwhile. (time, seq) orders every entry, so the others keep their order.
    const auto stale = [&](const Queued& q) {
        return q.kind == Queued::Tick && q.endpoint == endpoint && (!id || q.index == *id);
    };
    const auto end = std::remove_if(m_queue.begin(), m_queue.end(), stale);
    if (end == m_queue.end())
        return;
    m_queue.erase(end, m_queue.end());
    std::make_heap(m_queue.begin(), m_queue.end(), std::greater<Queued>());
    if (m_queue.empty())
        std::vector<Queued>().swap(m_queue);
}

void Facility::runUntil(int64_t target) {
    // Commands inside a notification only queue; delivery resumes when it has returned.
    if (m_depth > 0)
        return;
    size_t count = 0;
    while (!m_queue.empty() && m_queue.front().time <= target) {
        std::pop_heap(m_queue.begin(), m_queue.end(), std::greater<Queued>());
        Queued q = std::move(m_queue.back());
        m_queue.pop_back();
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
            std::vector<Queued>().swap(m_queue);
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
