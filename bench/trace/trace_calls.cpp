// What a trace's call says: its message decoded from the file where it lies, its texts, and the
// one line that describes it.
#include "trace/trace_reader.h"

#include "report/text.h"
#include "trace/trace_bytes.h"

namespace zeph::bench::trace {

std::string text(const zb_text& t) {
    return t.data ? std::string(t.data, t.size) : std::string();
}

std::optional<std::string> optionalText(const zb_text& t) {
    if (!t.data)
        return std::nullopt;
    return std::string(t.data, t.size);
}

std::string eventText(const zb_button_data& b) {
    std::string event = text(b.command);
    for (const zb_text& sub : b.sub)
        if (sub.data && sub.size)
            event += "." + text(sub);
    if (b.has_value)
        event += "=" + text(b.value);
    return event;
}

namespace {
std::string quoted(const std::string& t) {
    return "'" + printable(t) + "'";
}
std::string quoted(const zb_text& t) {
    return t.data ? quoted(text(t)) : "null";
}
} // namespace

void Calls::decode(uint32_t at, zb_message& m) const {
    const unsigned char* r = m_bytes->data() + at;
    m = zb_message{};
    // Read whole once already: it decodes again the same.
    zb_decode(le32(r + 16), r + 20, le32(r + 12) - 4, &m);
}

zb_message Calls::message(size_t i) const {
    zb_message m{};
    if (Call::Kind(m_entries[i].kind) != Call::Kind::Limit)
        decode(m_entries[i].at, m);
    return m;
}

zb_text Calls::resultText(size_t i) const {
    zb_message r{};
    if (m_entries[i].ret)
        decode(m_entries[i].ret, r);
    return r.kind == ZB_RETURN ? r.u.ret.text : zb_text{nullptr, 0};
}

uint64_t Calls::time(size_t i) const {
    return le64(m_bytes->data() + m_entries[i].at);
}

uint32_t Calls::thread(size_t i) const {
    return le32(m_bytes->data() + m_entries[i].at + 8);
}

std::string Calls::ownerText(const Entry& e) const {
    switch (e.owner) {
    case kNull:
        return "of a null pointer";
    case kNever:
        return "of a pointer never handed out";
    case kOf:
    case kAgainOf: {
        const Call h = (*this)[e.handed];
        return std::string(e.owner == kOf ? "of " : "again of ") +
               (h.kind == Call::Kind::Command ? "the reply to " : "the answer to ") + h.describe();
    }
    default:
        return {};
    }
}

Call Calls::call(size_t i, bool owner) const {
    const Entry& e = m_entries[i];
    Call c;
    c.kind = Call::Kind(e.kind);
    c.time = time(i);
    c.thread = thread(i);
    c.depth = int(e.depth);
    c.instance = int(e.instance);
    c.toHost = e.flags & kToHost;
    if (c.kind == Call::Kind::Limit)
        return c;
    decode(e.at, c.message);
    if (c.message.kind == ZB_CALL)
        c.type = c.message.u.call.type;
    if (e.ret) {
        zb_message r{};
        decode(e.ret, r);
        c.returned = true;
        c.value = r.u.ret.value;
        c.result = optionalText(r.u.ret.text);
    }
    if (owner && c.kind == Call::Kind::Release)
        c.owner = ownerText(e);
    return c;
}

std::string Call::describe() const {
    const zb_message& m = message;
    switch (kind) {
    case Kind::Create: {
        // The line that creates it so: a load with the base path and host the call gave.
        std::vector<std::string> words;
        if (!m.u.create.path.data)
            words.push_back("base=null");
        else if (m.u.create.path.size)
            words.push_back(text(m.u.create.path));
        if (!m.u.create.host)
            words.push_back("host=null");
        return makeStep(Step::Kind::Load, {}, words).source;
    }
    case Kind::Destroy:
        return makeStep(Step::Kind::Unload).source;
    case Kind::Debug:
        return "debug " + quoted(m.u.debug.text);
    case Kind::Limit:
        return "the trace stopped at its size limit";
    case Kind::Fault: {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", unsigned(m.u.fault.code));
        return std::string("fault ") + code + " at " + text(m.u.fault.where);
    }
    case Kind::Release:
        return "release " + owner;
    case Kind::Command: // one line whatever it holds: a line feed is shown as \n
        return m.u.call.data.text.data ? printable(text(m.u.call.data.text)) : "null";
    case Kind::Notification:
        break;
    }
    // Each notification as the scenario line that delivers it, so that it reads back; a text the
    // line cannot carry (a null one) makes it the raw call it was.
    const zb_payload& p = m.u.call.data;
    const auto line = [](Step::Kind kind, std::vector<long long> numbers,
                         std::vector<std::string> words, std::optional<std::string> text) {
        return makeStep(kind, std::move(numbers), std::move(words), std::move(text)).source;
    };
    const bool record = p.kind == ZB_DATA_RECORD && p.text.data;
    switch (type) {
    case 1:
        if (record)
            return line(Step::Kind::Revertive, {p.words[0], p.words[2]}, {}, text(p.text));
        break;
    case 6:
        if (record)
            return line(Step::Kind::DbChange, {p.words[0], p.words[1], p.words[3]}, {},
                        text(p.text));
        break;
    case 2:
        if (p.kind == ZB_DATA_BUTTON)
            return line(Step::Kind::Press, {}, {text(p.button.panel), text(p.button.control)},
                        p.button.has_event ? eventText(p.button) : std::string());
        break;
    case 3:
        if (p.kind == ZB_DATA_TEXT && p.text.data)
            return line(Step::Kind::Parent, {}, {}, text(p.text));
        if (p.kind == ZB_DATA_NULL || p.kind == ZB_DATA_TEXT)
            return line(Step::Kind::Raw, {3}, {}, std::nullopt);
        break;
    case 4:
        return line(Step::Kind::Tick, {static_cast<long long>(p.value)}, {}, std::nullopt);
    default:
        break;
    }
    // What other types carry is not followed (no layout is promised), so it is not compared.
    return "notification type " + std::to_string(type);
}

} // namespace zeph::bench::trace
