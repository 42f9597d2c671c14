// A component for the bridge's tests: it tells the host everything it receives as commands,
// answers on request, and breaks the ownership rules on request, so that the same run can be
// compared directly and through the bridge. Parent texts:
//   query        SD, shows the reply, releases it        keep       SD, never releases the reply
//   twice        SD, releases the reply twice            foreign    releases a text of its own
//   null-release releases null                           answer T   answers a heap copy of T
//   long         answers 70000 characters                pid        answers its process id
//   crash        writes to an unmapped address           die        ends its process
//   hang         never returns
#include "zeph_client_callback.h"
#include "zeph_notify.h"
#include "zeph_records.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>

namespace {

class Probe final : public zeph_client_callback {
public:
    Probe(zeph_client_callback* host, const char* path) : m_host(host) {
        send(std::string("CREATED ") + (path ? path : "(null)"));
    }
    ~Probe() override {
        send("AS");
        for (char* a : m_answers)
            std::free(a);
    }

    char* callback(void* data, int type) override {
        const char* text = static_cast<const char*>(data);
        switch (type) {
        case ZEPH_REVERTIVE: {
            const auto* r = static_cast<const zeph_revertive_record*>(data);
            send("REV " + std::to_string(r->device) + " " + std::to_string(r->index) + " " +
                 r->text);
            break;
        }
        case ZEPH_DATABASE: {
            const auto* r = static_cast<const zeph_database_record*>(data);
            send("DB " + std::to_string(r->device) + " " + std::to_string(r->database) + " " +
                 std::to_string(r->index) + " " + r->text);
            break;
        }
        case ZEPH_BUTTON: {
            const auto* b = static_cast<const zeph_button_record*>(data);
            std::string line = std::string("BTN ") + b->panel + " " + b->control;
            if (const zeph_parent_event* e = b->event)
                line += std::string(" [") + e->command + "|" + e->value + "|" + e->sub[0] + "|" +
                        e->sub[1] + "]";
            send(line);
            break;
        }
        case ZEPH_TIMER:
            send("TICK " + std::to_string(reinterpret_cast<intptr_t>(data)));
            break;
        case ZEPH_RELEASE:
            release(static_cast<char*>(data));
            break;
        case ZEPH_PARENT:
            return parent(text);
        default:
            send("TYPE " + std::to_string(type) + " " + (text ? text : "null"));
            break;
        }
        return nullptr;
    }

private:
    char* ask(const char* command) {
        return m_host ? m_host->callback(const_cast<char*>(command), ZEPH_COMMAND) : nullptr;
    }
    void send(const std::string& command) { ask(command.c_str()); }
    void giveBack(char* reply) {
        if (m_host)
            m_host->callback(reply, ZEPH_RELEASE);
    }
    char* keepAnswer(const std::string& text) {
        char* a = static_cast<char*>(std::malloc(text.size() + 1));
        std::memcpy(a, text.c_str(), text.size() + 1);
        m_released.erase(a);
        m_answers.insert(a);
        return a;
    }

    char* parent(const char* text) {
        const std::string t = text ? text : "";
        if (t == "query") {
            char* r = ask("SD 'rtr'");
            send(std::string("REPLY ") + (r ? r : "null"));
            if (r)
                giveBack(r);
        } else if (t == "keep") {
            ask("SD 'rtr'");
        } else if (t == "twice") {
            char* r = ask("SD 'rtr'");
            giveBack(r);
            giveBack(r);
        } else if (t == "foreign") {
            static char mine[] = "mine";
            giveBack(mine);
        } else if (t == "null-release") {
            giveBack(nullptr);
        } else if (t.rfind("answer ", 0) == 0) {
            return keepAnswer(t.substr(7));
        } else if (t == "long") {
            return keepAnswer(std::string(70000, 'x'));
        } else if (t == "pid") {
            return keepAnswer(std::to_string(getpid()));
        } else if (t == "crash") {
            *static_cast<volatile int*>(m_nowhere) = 1;
        } else if (t == "die") {
            _exit(9);
        } else if (t == "hang") {
            for (;;)
                pause();
        }
        return nullptr;
    }

    void release(char* p) {
        if (!p) {
            send("RELEASED null");
        } else if (m_answers.erase(p)) {
            std::free(p);
            m_released.insert(p);
            send("RELEASED answer");
        } else {
            send(m_released.count(p) ? "RELEASED twice" : "RELEASED foreign");
        }
    }

    zeph_client_callback* m_host;
    std::set<char*> m_answers;  // handed out, not yet back
    std::set<char*> m_released; // back already (addresses only)
    // Unmapped but not null, so that a sanitizer's null check does not stop the fault first.
    void* volatile m_nowhere = reinterpret_cast<void*>(0x10);
};

} // namespace

extern "C" __attribute__((visibility("default"))) zeph_client_callback*
load_zeph_client_script(zeph_client_callback* host, const char* path) {
    return new Probe(host, path);
}
