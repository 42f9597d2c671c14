// Reading a trace: the header, then in one pass the records (every length checked) and the calls
// they make, kept as where they are in the file.
#include "trace/trace_reader.h"

#include "report/text.h"
#include "scenario/parser.h"
#include "trace/trace_bytes.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <unordered_map>

namespace zeph::bench::trace {

namespace {

// The file's offsets are kept in 32 bits: a trace the tap writes stops at far less.
constexpr uint64_t kLargest = 0xffffffffull;

// A u32 -> u32 table in one array (threads, hosts): a few bytes an entry, where a node-based map
// would take several times the record that made it.
class FlatMap {
public:
    uint32_t* find(uint32_t key) {
        if (m_slots.empty())
            return nullptr;
        for (size_t i = slot(key);; i = (i + 1) & (m_slots.size() - 1)) {
            if (!m_slots[i].used)
                return nullptr;
            if (m_slots[i].key == key)
                return &m_slots[i].value;
        }
    }
    uint32_t& operator[](uint32_t key) {
        if (uint32_t* v = find(key))
            return *v;
        if ((m_used + 1) * 4 > m_slots.size() * 3)
            grow();
        ++m_used;
        return place(key, 0);
    }

private:
    struct Slot {
        uint32_t key = 0, value = 0;
        bool used = false;
    };
    size_t slot(uint32_t key) const {
        return size_t((uint64_t(key) * 0x9e3779b97f4a7c15ull) >> 32) & (m_slots.size() - 1);
    }
    uint32_t& place(uint32_t key, uint32_t value) {
        size_t i = slot(key);
        while (m_slots[i].used)
            i = (i + 1) & (m_slots.size() - 1);
        m_slots[i] = {key, value, true};
        return m_slots[i].value;
    }
    void grow() {
        std::vector<Slot> old(std::max<size_t>(16, m_slots.size() * 2));
        old.swap(m_slots);
        for (const Slot& s : old)
            if (s.used)
                place(s.key, s.value);
    }
    std::vector<Slot> m_slots;
    size_t m_used = 0;
};
} // namespace

namespace {
// The whole file: a regular file at its own size in one go, with no growing buffer that would hold
// twice it; anything else (a pipe) as it comes.
bool readWhole(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    struct stat st {};
    if (!f || ::fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        error = "cannot be read";
        return false;
    }
    if (S_ISREG(st.st_mode) && uint64_t(st.st_size) > kLargest) {
        error = "larger than a trace can be (4 GiB)";
        return false;
    }
    bytes.resize(S_ISREG(st.st_mode) ? size_t(st.st_size) : 0);
    size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f.get());
    if (got == bytes.size()) { // and whatever a file that grew or a pipe still has
        unsigned char more[65536];
        for (size_t n; (n = std::fread(more, 1, sizeof more, f.get())) > 0;) {
            if (bytes.size() + n > kLargest) {
                error = "larger than a trace can be (4 GiB)";
                return false;
            }
            bytes.insert(bytes.end(), more, more + n);
        }
        got = bytes.size();
    }
    if (std::ferror(f.get()) || got != bytes.size()) {
        error = "cannot be read";
        return false;
    }
    return true;
}
} // namespace

bool Trace::load(const std::string& path, std::string& error) {
    std::vector<unsigned char> bytes;
    if (!readWhole(path, bytes, error) || !parse(std::move(bytes), error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

Trace& Trace::operator=(Trace&& o) noexcept {
    header = std::move(o.header);
    calls.m_entries = std::move(o.calls.m_entries);
    records = o.records;
    limited = o.limited;
    cutAt = o.cutAt;
    m_bytes = std::move(o.m_bytes);
    calls.m_bytes = &m_bytes;
    o.calls.m_entries.clear();
    return *this;
}

bool Trace::parse(std::vector<unsigned char> bytes, std::string& error) {
    m_bytes = std::move(bytes);
    calls.m_bytes = &m_bytes;
    calls.m_entries.clear();
    records = 0;
    limited = false;
    cutAt.reset();
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
    if (size > kLargest) {
        error = "larger than a trace can be (4 GiB)";
        return false;
    }
    header.version = le32(b + 4);
    if (header.version < 1 || header.version > ZT_VERSION) {
        error = "trace version " + std::to_string(header.version) + ", this bench reads 1 to " +
                std::to_string(ZT_VERSION);
        return false;
    }
    const size_t tail = header.version >= 2 ? 32 : 24; // version 2 adds the process's creation
    header.tapVersion = le32(b + 8);
    header.pid = le32(b + 12);
    const uint32_t nameSize = le32(b + 16);
    if (nameSize > ZB_TEXT_LIMIT || size - 20 < uint64_t(nameSize) + tail) {
        error = nameSize > ZB_TEXT_LIMIT ? "corrupted header" : "cut short inside its header";
        return false;
    }
    header.component.assign(reinterpret_cast<const char*>(b + 20), nameSize);
    size_t pos = 20 + nameSize;
    header.componentSize = le64(b + pos);
    header.componentTime = le64(b + pos + 8);
    header.startedUs = le64(b + pos + 16);
    header.processUs = tail > 24 ? le64(b + pos + 24) : 0;
    pos += tail;
    return analyse(error, pos);
}

namespace {
// Texts handed out (replies, answers) by address, so that a release can say whose it was: the
// call that handed each out, by its index.
struct Ledger {
    std::unordered_map<uint64_t, uint32_t> handedOut, released;

    void handOut(uint64_t address, uint32_t call) {
        released.erase(address);
        handedOut[address] = call;
    }
};
} // namespace

namespace {
// Whether the left bytes at the end could start a record that a write stopped in: its frame's
// size and kind, as far as they are there, are a record's.
bool cutLooksWritten(const unsigned char* r, size_t left) {
    if (left >= 16) {
        const uint32_t frame = le32(r + 12);
        if (frame < 4 || frame > ZB_MESSAGE_LIMIT)
            return false;
    }
    if (left >= 20) {
        const uint32_t kind = le32(r + 16);
        if (kind != ZT_LIMIT_KIND && (kind < ZB_HELLO || kind > ZB_CREATE_IN))
            return false;
    }
    return true;
}
} // namespace

// One pass: each record's lengths checked, then what it does to the calls in progress. The first
// fault in the records themselves wins over one in what they say, as a reader checking the
// records first would tell it.
bool Trace::analyse(std::string& error, size_t pos) {
    const unsigned char* b = m_bytes.data();
    const size_t size = m_bytes.size();
    std::deque<Calls::Entry>& entries = calls.m_entries;
    FlatMap open;  // per thread, 1 + the index of its innermost call awaiting its RETURN, or 0
    FlatMap hosts; // host ids the CREATEs named, to the instance each was given to
    std::unordered_map<uint64_t, uint16_t> handles; // a component's handle to its instance, as now
    const auto saturated = [](size_t n) { return uint16_t(std::min<size_t>(n, 65535)); };
    Ledger ledger;
    std::string wrong; // what the records say that cannot be, while their lengths are still read
    zb_message m{};
    while (pos < size) {
        const auto at = [&] { return " at byte " + std::to_string(pos); };
        if (limited) {
            error = "corrupted: a record follows the size limit's" + at();
            return false;
        }
        const size_t left = size - pos;
        if (left < ZT_RECORD_HEAD + 8 || left - 16 < le32(b + pos + 12)) {
            // Nothing follows a record that runs past the end: the last, written in part. What of
            // its head is there must still be a record's, or the file is damaged, not cut.
            if (!cutLooksWritten(b + pos, left)) {
                error = "corrupted record" + at();
                return false;
            }
            cutAt = pos;
            break;
        }
        const uint32_t thread = le32(b + pos + 8);
        const uint32_t frame = le32(b + pos + 12);
        const uint32_t kind = le32(b + pos + 16);
        if (frame < 4 || frame > ZB_MESSAGE_LIMIT) {
            error = "corrupted record" + at();
            return false;
        }
        const unsigned char* body = b + pos + 20;
        const size_t bodySize = frame - 4;
        bool limit = false;
        m.kind = 0;
        if (kind == ZT_LIMIT_KIND) {
            limit = limited = bodySize == 8;
        } else if (zb_decode(kind, body, bodySize, &m) != 0) {
            m.kind = 0;
        }
        if (!limit && m.kind == 0) {
            error = "corrupted record" + at();
            return false;
        }
        ++records;
        const size_t record = pos;
        pos += 16 + frame;
        if (!wrong.empty())
            continue;
        uint32_t* top = open.find(thread);
        Calls::Entry e;
        e.at = uint32_t(record);
        e.depth = top && *top ? saturated(entries[*top - 1].depth + 1u) : 0;
        e.parent = top ? *top : 0;
        // Debugger output and faults: the instance whose call is in progress.
        e.instance = top && *top ? entries[*top - 1].instance : 0;
        if (limit) {
            e.kind = uint8_t(Call::Kind::Limit);
            entries.push_back(e);
            continue;
        }
        Call::Kind k = Call::Kind::Notification;
        switch (m.kind) {
        case ZB_CREATE:
            k = Call::Kind::Create;
            e.instance = saturated(++instances);
            if (m.u.create.host)
                hosts[m.u.create.host] = e.instance;
            break;
        case ZB_CALL: {
            const uint64_t target = m.u.call.target;
            const uint32_t* host = target <= 0xffffffffull ? hosts.find(uint32_t(target)) : nullptr;
            const bool toHost = host != nullptr;
            if (host) {
                e.instance = uint16_t(*host);
            } else if (const auto handle = handles.find(target); handle != handles.end()) {
                e.instance = handle->second;
            }
            const int type = m.u.call.type;
            e.flags = uint8_t((toHost ? Calls::kToHost : 0) |
                              (!toHost && type == 3 ? Calls::kAnswers : 0));
            k = type == 5             ? Call::Kind::Release
                : toHost && type == 0 ? Call::Kind::Command
                                      : Call::Kind::Notification;
            if (k != Call::Kind::Release)
                break;
            const zb_payload& p = m.u.call.data;
            e.owner = Calls::kNull;
            if (p.kind != ZB_DATA_HANDED)
                break;
            e.owner = Calls::kNever;
            if (auto it = ledger.handedOut.find(p.value); it != ledger.handedOut.end()) {
                e.owner = Calls::kOf;
                e.handed = ledger.released[p.value] = it->second;
                ledger.handedOut.erase(it);
            } else if (auto again = ledger.released.find(p.value); again != ledger.released.end()) {
                e.owner = Calls::kAgainOf;
                e.handed = again->second;
            }
            break;
        }
        case ZB_DESTROY: {
            k = Call::Kind::Destroy;
            const auto handle = handles.find(m.u.destroy.handle);
            e.instance = handle != handles.end() ? handle->second : 0;
            break;
        }
        case ZB_DEBUG:
            k = Call::Kind::Debug;
            break;
        case ZB_FAULT:
            k = Call::Kind::Fault;
            break;
        case ZB_RETURN: {
            if (!top || !*top) {
                wrong = "corrupted: a return with no call in progress (record " +
                        std::to_string(records) + ")";
                continue;
            }
            const uint32_t index = *top - 1;
            Calls::Entry& called = entries[index];
            *top = called.parent;
            called.ret = uint32_t(record);
            const auto ck = Call::Kind(called.kind);
            int type = 0;
            if (ck == Call::Kind::Notification) {
                zb_message c{};
                calls.decode(called.at, c);
                type = c.u.call.type;
            }
            // A handle freed and given again names the newer instance from here on.
            if (ck == Call::Kind::Create && m.u.ret.value)
                handles[m.u.ret.value] = called.instance;
            const bool answers =
                ck == Call::Kind::Command || (ck == Call::Kind::Notification && type == 3);
            if (answers && m.u.ret.text.data)
                ledger.handOut(m.u.ret.value, index);
            continue;
        }
        default:
            continue; // HELLO and HEAP belong to the pipe, not to the session
        }
        e.kind = uint8_t(k);
        entries.push_back(e);
        if (m.kind == ZB_CREATE || m.kind == ZB_CALL || m.kind == ZB_DESTROY)
            open[thread] = uint32_t(entries.size());
    }
    if (!wrong.empty()) {
        error = wrong;
        return false;
    }
    return true;
}

} // namespace zeph::bench::trace
