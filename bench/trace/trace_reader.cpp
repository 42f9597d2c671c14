// Reading a trace: the header, the records (every length checked), then the calls they make.
#include "trace/trace_reader.h"

#include "report/text.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

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
uint32_t le32(const unsigned char* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
uint64_t le64(const unsigned char* b) {
    return le32(b) | uint64_t(le32(b + 4)) << 32;
}
std::string quoted(const std::string& t) {
    return "'" + printable(t) + "'";
}
std::string quoted(const zb_text& t) {
    return t.data ? quoted(text(t)) : "null";
}
} // namespace

bool Trace::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (!parse(std::move(bytes), error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool Trace::parse(std::vector<unsigned char> bytes, std::string& error) {
    m_bytes = std::move(bytes);
    records.clear();
    calls.clear();
    limited = false;
    const unsigned char* b = m_bytes.data();
    const size_t size = m_bytes.size();
    if (size < 4 || le32(b) != ZT_MAGIC) {
        error = "not a trace file";
        return false;
    }
    if (size < 20) {
        error = "cut short inside its header";
        return false;
    }
    header.version = le32(b + 4);
    if (header.version != ZT_VERSION) {
        error = "trace version " + std::to_string(header.version) + ", this bench reads " +
                std::to_string(ZT_VERSION);
        return false;
    }
    header.tapVersion = le32(b + 8);
    header.pid = le32(b + 12);
    const uint32_t nameSize = le32(b + 16);
    if (nameSize > ZB_TEXT_LIMIT || size - 20 < uint64_t(nameSize) + 24) {
        error = nameSize > ZB_TEXT_LIMIT ? "corrupted header" : "cut short inside its header";
        return false;
    }
    header.component.assign(reinterpret_cast<const char*>(b + 20), nameSize);
    size_t pos = 20 + nameSize;
    header.componentSize = le64(b + pos);
    header.componentTime = le64(b + pos + 8);
    header.startedUs = le64(b + pos + 16);
    pos += 24;
    while (pos < size) {
        const std::string at = " at byte " + std::to_string(pos);
        if (limited) {
            error = "corrupted: a record follows the size limit's" + at;
            return false;
        }
        if (size - pos < ZT_RECORD_HEAD + 8) {
            error = "cut short" + at;
            return false;
        }
        Record r;
        r.time = le64(b + pos);
        r.thread = le32(b + pos + 8);
        const uint32_t frame = le32(b + pos + 12);
        const uint32_t kind = le32(b + pos + 16);
        if (frame < 4 || frame > ZB_MESSAGE_LIMIT) {
            error = "corrupted record" + at;
            return false;
        }
        if (size - pos - 16 < frame) {
            error = "cut short" + at;
            return false;
        }
        const unsigned char* body = b + pos + 20;
        const size_t bodySize = frame - 4;
        if (kind == ZT_LIMIT_KIND) {
            r.limit = limited = bodySize == 8;
        } else if (zb_decode(kind, body, bodySize, &r.message) != 0) {
            r.message.kind = 0;
        }
        if (!r.limit && r.message.kind == 0) {
            error = "corrupted record" + at;
            return false;
        }
        records.push_back(r);
        pos += 16 + frame;
    }
    return analyse(error);
}

namespace {
// Texts handed out (replies, answers) by address, so that a release can say whose it was.
struct Ledger {
    std::map<uint64_t, std::string> handedOut, released;

    void handOut(uint64_t address, std::string what) {
        released.erase(address);
        handedOut[address] = std::move(what);
    }
    std::string release(const zb_payload& p) {
        if (p.kind != ZB_DATA_HANDED)
            return "of a null pointer";
        if (auto it = handedOut.find(p.value); it != handedOut.end()) {
            released[p.value] = it->second;
            handedOut.erase(it);
            return "of " + released[p.value];
        }
        if (auto again = released.find(p.value); again != released.end())
            return "again of " + again->second;
        return "of a pointer never handed out";
    }
};
} // namespace

bool Trace::analyse(std::string& error) {
    std::map<uint32_t, std::vector<size_t>> open; // per thread, the calls awaiting their RETURN
    std::map<uint64_t, bool> hosts;
    Ledger ledger;
    for (size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        Call c;
        c.time = r.time;
        c.thread = r.thread;
        c.message = &r.message;
        std::vector<size_t>& stack = open[r.thread];
        c.depth = int(stack.size());
        if (r.limit) {
            c.kind = Call::Kind::Limit;
            calls.push_back(c);
            continue;
        }
        const zb_message& m = r.message;
        switch (m.kind) {
        case ZB_CREATE:
            c.kind = Call::Kind::Create;
            if (m.u.create.host)
                hosts[m.u.create.host] = true;
            break;
        case ZB_CALL: {
            const bool toHost = hosts.count(m.u.call.target) > 0;
            c.type = m.u.call.type;
            c.toHost = toHost;
            c.kind = c.type == 5             ? Call::Kind::Release
                     : toHost && c.type == 0 ? Call::Kind::Command
                                             : Call::Kind::Notification;
            if (c.kind == Call::Kind::Release)
                c.owner = ledger.release(m.u.call.data);
            break;
        }
        case ZB_DESTROY:
            c.kind = Call::Kind::Destroy;
            break;
        case ZB_DEBUG:
            c.kind = Call::Kind::Debug;
            break;
        case ZB_FAULT:
            c.kind = Call::Kind::Fault;
            break;
        case ZB_RETURN: {
            if (stack.empty()) {
                error = "corrupted: a return with no call in progress (record " +
                        std::to_string(i + 1) + ")";
                return false;
            }
            Call& called = calls[stack.back()];
            stack.pop_back();
            called.returned = true;
            called.value = m.u.ret.value;
            called.result = optionalText(m.u.ret.text);
            const bool answers = called.kind == Call::Kind::Command ||
                                 (called.kind == Call::Kind::Notification && called.type == 3);
            if (answers && called.result)
                ledger.handOut(
                    m.u.ret.value,
                    (called.kind == Call::Kind::Command ? "the reply to " : "the answer to ") +
                        called.describe());
            continue;
        }
        default:
            continue; // HELLO and HEAP belong to the pipe, not to the session
        }
        if (m.kind == ZB_CREATE || m.kind == ZB_CALL || m.kind == ZB_DESTROY)
            stack.push_back(calls.size());
        calls.push_back(c);
    }
    return true;
}

std::string Call::describe() const {
    const zb_message& m = *message;
    switch (kind) {
    case Kind::Create:
        return "load " + quoted(m.u.create.path);
    case Kind::Destroy:
        return "unload";
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
    case Kind::Command:
        return text(m.u.call.data.text);
    case Kind::Notification:
        break;
    }
    const zb_payload& p = m.u.call.data;
    const auto word = [&](int i) { return std::to_string(p.words[i]); };
    const bool record = p.kind == ZB_DATA_RECORD;
    switch (type) {
    case 1:
        if (record)
            return "revertive " + word(0) + " " + word(2) + " " + quoted(p.text);
        break;
    case 6:
        if (record)
            return "dbchange " + word(0) + " " + word(1) + " " + word(3) + " " + quoted(p.text);
        break;
    case 2:
        if (p.kind == ZB_DATA_BUTTON)
            return "press " + quoted(p.button.panel) + " " + quoted(p.button.control) +
                   (p.button.has_event ? " " + quoted(eventText(p.button)) : "");
        break;
    case 3:
        return "parent " + quoted(p.text);
    case 4:
        return "tick " + std::to_string(int64_t(p.value));
    default:
        break;
    }
    // What other types carry is not followed (no layout is promised), so it is not compared.
    return "notification type " + std::to_string(type);
}

} // namespace zeph::bench::trace
