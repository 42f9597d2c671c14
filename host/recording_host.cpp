// The simulated host's side of the callback contract, with its ownership bookkeeping.
#include "recording_host.h"

#include "fork_guard.h"
#include "host_records.h"
#include "zeph_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zeph::host {

namespace {
// PS is only tested for null and never released, so its reply must not need freeing.
char g_accepted[] = "1";

std::string firstWord(const std::string& text) {
    return text.substr(0, text.find(' '));
}

// Whether the command's first word is the two letters of m, without building the word: every
// command the component sends goes through here.
bool isCommand(const std::string& command, const char (&m)[3]) {
    return command.size() >= 2 && command[0] == m[0] && command[1] == m[1] &&
           (command.size() == 2 || command[2] == ' ');
}

// Removes v from an unordered list; false when it was not there.
template <class T> bool removeFrom(std::vector<T>& list, T v) {
    const auto it = std::find(list.begin(), list.end(), v);
    if (it == list.end())
        return false;
    *it = list.back();
    list.pop_back();
    return true;
}

// A decimal number after blanks, as a stream reads a long: false without digits or out of range.
bool readLong(const char*& p, long& out) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE)
        return false;
    p = end;
    out = n;
    return true;
}
} // namespace

const char* errorKindName(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::ReplyNotReleased:
        return "reply-not-released";
    case ErrorKind::ReleasedTwice:
        return "released-twice";
    case ErrorKind::ForeignRelease:
        return "foreign-release";
    case ErrorKind::NullRelease:
        return "null-release";
    case ErrorKind::UnknownCallType:
        return "unknown-call-type";
    case ErrorKind::NullCommand:
        return "null-command";
    case ErrorKind::CommandAfterDetach:
        return "command-after-detach";
    case ErrorKind::NoDetach:
        return "no-detach";
    case ErrorKind::DetachNotLast:
        return "detach-not-last";
    case ErrorKind::TimerLeftRunning:
        return "timer-left-running";
    case ErrorKind::UnterminatedAnswer:
        return "unterminated-answer";
    case ErrorKind::ReleaseReturned:
        return "release-returned";
    case ErrorKind::NonNullReturn:
        return "non-null-return";
    case ErrorKind::Runaway:
        return "runaway";
    }
    return "?";
}

const std::vector<ErrorKind>& allErrorKinds() {
    static const std::vector<ErrorKind> kinds = [] {
        std::vector<ErrorKind> all;
        for (int k = 0; k <= static_cast<int>(ErrorKind::Runaway); ++k)
            all.push_back(static_cast<ErrorKind>(k));
        return all;
    }();
    return kinds;
}

bool isQuery(const std::string& command) {
    return zeph_command_is_query(command.c_str());
}

bool isAnswered(const std::string& command) {
    const zeph_command_info* c = zeph_command_of(command.c_str());
    return c && c->answered;
}

std::string mnemonic(const std::string& command) {
    const std::string word = firstWord(command);
    return word.size() == 2 ? word : std::string();
}

RecordingHost::RecordingHost() = default;

RecordingHost::~RecordingHost() {
    for (char* p : m_outstanding)
        std::free(p);
}

char* RecordingHost::callback(void* data, int type) {
    leaveIfForeignFork();
    if (type == ZEPH_RELEASE) {
        char* p = static_cast<char*>(data);
        if (!p) {
            error(ErrorKind::NullRelease, "release of a null pointer");
        } else if (removeFrom(m_outstanding, p)) {
            // Remembered as an address only: the block itself is gone.
            const uintptr_t a = reinterpret_cast<uintptr_t>(p);
            m_released.insert(std::lower_bound(m_released.begin(), m_released.end(), a), a);
            std::free(p);
        } else if (std::binary_search(m_released.begin(), m_released.end(),
                                      reinterpret_cast<uintptr_t>(p))) {
            error(ErrorKind::ReleasedTwice, "reply released twice");
        } else {
            error(ErrorKind::ForeignRelease, "release of a pointer the host never handed out");
        }
        return nullptr;
    }
    if (type != ZEPH_COMMAND) {
        error(ErrorKind::UnknownCallType,
              "component called the host with type " + std::to_string(type));
        return nullptr;
    }
    if (!data) {
        error(ErrorKind::NullCommand, "command with a null text");
        return nullptr;
    }
    const std::string command(static_cast<const char*>(data));
    if (m_detached)
        error(ErrorKind::CommandAfterDetach, "command after \"AS\": " + command);
    if (m_keepCommands)
        rare().commands.push_back(command);
    ++m_total;
    ++m_sinceForget;
    m_lastWasDetach = command == "AS";

    const bool panelShow = isCommand(command, "PS");
    if (isCommand(command, "AS")) {
        m_detached = true;
    } else if (isCommand(command, "ET")) {
        const char* p = command.c_str() + 2;
        long id = 0, period = 0;
        if (readLong(p, id)) {
            const int t = static_cast<int>(id);
            const auto at = std::lower_bound(m_timers.begin(), m_timers.end(), t);
            const bool running = at != m_timers.end() && *at == t;
            if (readLong(p, period) && period != 0) {
                if (!running)
                    m_timers.insert(at, t);
            } else if (running) {
                m_timers.erase(at);
                // Most components run a timer now and then: none running holds no room.
                if (m_timers.empty())
                    std::vector<int>().swap(m_timers);
            }
        }
    }
    if (m_rare && m_rare->observer)
        m_rare->observer(command);

    std::optional<std::string> reply;
    bool set = false;
    if (m_rare)
        if (auto it = m_rare->replies.find(command); it != m_rare->replies.end()) {
            reply = it->second;
            set = true;
        }
    if (!set && m_responder)
        reply = m_responder(command);

    if (panelShow)
        return m_panelShowAccepted ? g_accepted : nullptr;
    if (!isQuery(command) || !reply)
        return nullptr;
    return handOut(*reply);
}

char* RecordingHost::handOut(const std::string& reply) {
    char* p = static_cast<char*>(std::malloc(reply.size() + 1));
    std::memcpy(p, reply.c_str(), reply.size() + 1);
    m_outstanding.push_back(p);
    const auto released =
        std::lower_bound(m_released.begin(), m_released.end(), reinterpret_cast<uintptr_t>(p));
    if (released != m_released.end() && *released == reinterpret_cast<uintptr_t>(p))
        m_released.erase(released);
    ++m_handedOut;
    return p;
}

void RecordingHost::error(ErrorKind kind, std::string text) {
    rare().breaches.push_back(Breach{kind, text});
    rare().errors.push_back(std::move(text));
}

RecordingHost::Rare& RecordingHost::rare() {
    if (!m_rare)
        m_rare = std::make_unique<Rare>();
    return *m_rare;
}

const std::vector<std::string>& RecordingHost::commands() const {
    static const std::vector<std::string> none;
    return m_rare ? m_rare->commands : none;
}

void RecordingHost::forgetCommands() {
    if (m_rare)
        m_rare->commands.clear();
    m_sinceForget = 0;
}

const std::vector<std::string>& RecordingHost::errors() const {
    static const std::vector<std::string> none;
    return m_rare ? m_rare->errors : none;
}

const std::vector<Breach>& RecordingHost::breaches() const {
    static const std::vector<Breach> none;
    return m_rare ? m_rare->breaches : none;
}

const std::vector<char*>& RecordingHost::keptAnswers() const {
    static const std::vector<char*> none;
    return m_rare ? m_rare->keptAnswers : none;
}

void RecordingHost::setReply(const std::string& command, std::optional<std::string> reply) {
    rare().replies[command] = std::move(reply);
}

void RecordingHost::clearReplies() {
    if (m_rare)
        m_rare->replies.clear();
}

void RecordingHost::setResponder(Responder responder) {
    m_responder = std::move(responder);
}

void RecordingHost::setPanelShowAccepted(bool accepted) {
    m_panelShowAccepted = accepted;
}

void RecordingHost::setObserver(std::function<void(const std::string&)> observer) {
    rare().observer = std::move(observer);
}

std::vector<std::string> RecordingHost::takeCommands() {
    std::vector<std::string> out;
    if (m_rare)
        out.swap(m_rare->commands);
    m_sinceForget = 0;
    return out;
}

void RecordingHost::attach(zeph_client_callback* component) {
    m_component = component;
    m_detached = false;
    m_hostless = false;
}

bool RecordingHost::create(const ComponentSource& source, const char* path, bool withHost) {
    m_detached = false;
    m_hostless = !withHost;
    zeph_client_callback* c = source.create(withHost ? this : nullptr, path);
    checkAfterNotification("construction");
    m_component = c;
    return c != nullptr;
}

void RecordingHost::checkAfterNotification(const char* what) {
    leaveIfForeignFork();
    if (!m_outstanding.empty()) {
        error(ErrorKind::ReplyNotReleased, std::to_string(m_outstanding.size()) + " repl" +
                                               (m_outstanding.size() == 1 ? "y" : "ies") +
                                               " not released by the end of " + what);
        for (char* p : m_outstanding)
            std::free(p);
        m_outstanding.clear();
    }
}

std::optional<std::string> RecordingHost::parent(const std::string& text, bool releaseAnswer) {
    if (!m_component)
        return std::nullopt;
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    char* answer = m_component->callback(copy.data(), ZEPH_PARENT);
    checkAfterNotification("a parent command");
    if (!answer)
        return std::nullopt;
    std::string result(answer);
    if (releaseAnswer)
        m_component->callback(answer, ZEPH_RELEASE);
    else
        rare().keptAnswers.push_back(answer);
    return result;
}

void RecordingHost::press(const std::string& panel, const std::string& control,
                          const std::string& event) {
    if (!m_component)
        return;
    ButtonRecord record(panel, control, event);
    m_component->callback(record.data(), ZEPH_BUTTON);
    checkAfterNotification("a button press");
}

void RecordingHost::revertive(int device, int index, const std::string& text) {
    if (!m_component)
        return;
    std::vector<char> record = revertiveRecord(device, index, text);
    m_component->callback(record.data(), ZEPH_REVERTIVE);
    checkAfterNotification("a revertive");
}

void RecordingHost::database(int device, int db, int index, const std::string& text) {
    if (!m_component)
        return;
    std::vector<char> record = databaseRecord(device, db, index, text);
    m_component->callback(record.data(), ZEPH_DATABASE);
    checkAfterNotification("a database change");
}

void RecordingHost::tick(int id) {
    if (!m_component)
        return;
    m_component->callback(reinterpret_cast<void*>(static_cast<intptr_t>(id)), ZEPH_TIMER);
    checkAfterNotification("a timer tick");
}

char* RecordingHost::raw(void* data, int type) {
    if (!m_component)
        return nullptr;
    char* r = m_component->callback(data, type);
    checkAfterNotification("a notification");
    return r;
}

void RecordingHost::destroy() {
    if (!m_component)
        return;
    zeph_client_callback* c = m_component;
    m_component = nullptr;
    delete c;
    checkAfterNotification("destruction");
    if (m_hostless) // given no host, it has nobody to say AS to
        return;
    if (!m_detached)
        error(ErrorKind::NoDetach, "component destroyed without sending \"AS\"");
    if (m_sinceForget > 0 && !m_lastWasDetach)
        error(ErrorKind::DetachNotLast, "\"AS\" was not the last command");
    if (!m_timers.empty()) {
        std::string ids;
        for (int id : m_timers)
            ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        error(ErrorKind::TimerLeftRunning, "timer left running after destruction: " + ids);
    }
}

} // namespace zeph::host
