// The script driver the component fuzz targets share: it plays one input against a component
// module, loaded the way a panel host loads it, under the recording host's ownership checks.
//
// The input is a script, one line per step, so seeds and crash inputs can be read and written by
// hand. The first word of a line picks the step; malformed numbers read as 0:
//   p TEXT               parent command; the host copies the answer and hands it back
//   k TEXT               parent command; the host keeps the answer for a later "r"
//   r N                  hand back kept answer N (again, if it was handed back before)
//   f                    hand back a pointer the component never gave out
//   z                    hand back a null pointer
//   b PANEL|CONTROL|EV   button press; EV is a parent-command text
//   v DEVICE INDEX TEXT  revertive
//   d DEVICE DB INDEX TEXT  database change
//   t ID                 timer tick
//   x TYPE TEXT          any type code without a record of its own (0, 7, 8, -3...), TEXT as data
//   0 TYPE               any type code with a null data pointer
//   s MN TEXT            queue TEXT as a reply of the host to MN (SD, XI, RN, TG)
//   n MN                 queue "no reply" (a null pointer) for MN
//   q                    the host destroys the component
//   c PATH               the host creates a new component with base path PATH
//   o                    (first line only) create the component without a host
// Replies queued by consecutive s/n lines are used in order, and the last stays in force; an s/n
// line after any other step starts a new sequence for its MN. Nothing queued means no reply.
//
// The simulated host checks ownership as it goes: each reply released exactly once and by the end
// of the notification, no release of a pointer never handed out, no command after "AS", no timer
// left running. Any breach aborts.
#pragma once

#include "fuzz_check.h"
#include "module_loader.h"
#include "recording_host.h"
#include "zeph_client_callback.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zeph::fuzz {

const int MAX_STEPS = 256;

struct Line {
    std::string word;
    std::string rest;
};

inline Line splitWord(const std::string& text) {
    const size_t blank = text.find(' ');
    if (blank == std::string::npos)
        return {text, std::string()};
    return {text.substr(0, blank), text.substr(blank + 1)};
}

inline int number(const std::string& text) {
    const long long n = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

// A target adds steps of its own by overriding extraStep.
class Script {
public:
    explicit Script(zeph_factory_fn factory) : m_factory(factory) {
        m_host.setResponder([this](const std::string& command) { return reply(command); });
        // ZEPH_FUZZ_TRACE=1 shows the traffic, for writing seeds and reading crash inputs.
        if (std::getenv("ZEPH_FUZZ_TRACE"))
            m_host.setObserver(
                [](const std::string& c) { std::fprintf(stderr, "  > %s\n", c.c_str()); });
    }

    void run(const std::vector<std::string>& lines) {
        if (!lines.empty() && lines[0] == "o") {
            runWithoutHost(lines);
            return;
        }
        create("X:/ui");
        for (size_t i = 0; i < lines.size() && i < MAX_STEPS; ++i) {
            if (std::getenv("ZEPH_FUZZ_TRACE"))
                std::fprintf(stderr, "%s\n", lines[i].c_str());
            step(lines[i]);
            check("after line " + std::to_string(i + 1) + " " + quoted(lines[i]));
            // Only the checks matter here: the recording would grow with every step.
            m_host.takeCommands();
        }
        m_host.destroy();
        check("after destruction");
    }

    virtual ~Script() = default;
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

protected:
    // A step the script does not know; true when the target handled it. Plays the step as if it
    // were the line "s MN TEXT" or any other with step().
    virtual bool extraStep(const Line& /*line*/) { return false; }

    void step(const std::string& text) {
        const Line line = splitWord(text);
        const std::string& op = line.word;
        if (op == "p") {
            m_host.parent(line.rest);
        } else if (op == "k") {
            const size_t before = m_host.keptAnswers().size();
            m_host.parent(line.rest, false);
            if (m_host.keptAnswers().size() > before)
                m_kept.push_back(m_host.keptAnswers().back());
        } else if (op == "r") {
            if (!m_kept.empty())
                m_host.raw(m_kept[static_cast<size_t>(number(line.rest)) % m_kept.size()],
                           ZEPH_RELEASE);
        } else if (op == "f") {
            m_host.raw(m_foreign, ZEPH_RELEASE);
        } else if (op == "z") {
            m_host.raw(nullptr, ZEPH_RELEASE);
        } else if (op == "b") {
            const size_t bar1 = line.rest.find('|');
            const size_t bar2 = bar1 == std::string::npos ? bar1 : line.rest.find('|', bar1 + 1);
            const std::string panel = line.rest.substr(0, bar1);
            const std::string control = bar1 == std::string::npos
                                            ? std::string()
                                            : line.rest.substr(bar1 + 1, bar2 - bar1 - 1);
            const std::string event =
                bar2 == std::string::npos ? std::string() : line.rest.substr(bar2 + 1);
            m_host.press(panel, control, event);
        } else if (op == "v") {
            const Line device = splitWord(line.rest);
            const Line index = splitWord(device.rest);
            m_host.revertive(number(device.word), number(index.word), index.rest);
        } else if (op == "d") {
            const Line device = splitWord(line.rest);
            const Line db = splitWord(device.rest);
            const Line index = splitWord(db.rest);
            m_host.database(number(device.word), number(db.word), number(index.word), index.rest);
        } else if (op == "t") {
            m_host.tick(number(line.rest));
        } else if (op == "x") {
            const Line type = splitWord(line.rest);
            const int code = number(type.word);
            // Types 1 to 6 carry records or texts of their own; the steps above send those.
            if (code < ZEPH_REVERTIVE || code > ZEPH_DATABASE) {
                std::vector<char> data(type.rest.begin(), type.rest.end());
                data.resize(data.size() + 64, '\0'); // room for any record the type might imply
                char* answer = m_host.raw(data.data(), code);
                ZEPH_FUZZ_CHECK(answer == nullptr, "type " + std::to_string(code) + " answered");
            }
        } else if (op == "0") {
            char* answer = m_host.raw(nullptr, number(line.rest));
            ZEPH_FUZZ_CHECK(answer == nullptr, "a null notification was answered");
        } else if (op == "s" || op == "n") {
            const Line mn = splitWord(line.rest);
            std::deque<std::optional<std::string>>& queue = m_queued[mn.word];
            if (!m_queueing[mn.word])
                queue.clear();
            queue.push_back(op == "s" ? std::optional<std::string>(mn.rest) : std::nullopt);
            m_queueing[mn.word] = true;
            return;
        } else if (op == "q") {
            m_host.destroy();
        } else if (op == "c") {
            create(line.rest);
        } else if (extraStep(line)) {
            return;
        }
        // Any other step ends a run of s/n lines: the next one starts a new sequence.
        for (auto& queueing : m_queueing)
            queueing.second = false;
    }

private:
    std::optional<std::string> reply(const std::string& command) {
        auto it = m_queued.find(zeph::host::mnemonic(command));
        if (it == m_queued.end() || it->second.empty())
            return std::nullopt;
        std::optional<std::string> r = it->second.front();
        if (it->second.size() > 1)
            it->second.pop_front();
        return r;
    }

    void create(const std::string& path) {
        if (m_host.component())
            m_host.destroy();
        const bool made = m_host.create(m_factory, path.c_str());
        ZEPH_FUZZ_CHECK(made, "the factory returned null");
    }

    // The component must live through anything without a host, sending nothing anywhere.
    void runWithoutHost(const std::vector<std::string>& lines) {
        zeph_client_callback* component = m_factory(nullptr, "X:/ui");
        ZEPH_FUZZ_CHECK(component != nullptr, "the factory returned null");
        m_host.attach(component);
        for (size_t i = 1; i < lines.size() && i < MAX_STEPS; ++i) {
            const Line line = splitWord(lines[i]);
            if (line.word != "q" && line.word != "c")
                step(lines[i]);
        }
        delete component;
        ZEPH_FUZZ_CHECK(m_host.totalCommands() == 0, "a component without a host sent commands");
    }

    void check(const std::string& when) {
        if (m_host.errors().empty())
            return;
        std::string all;
        for (const std::string& e : m_host.errors())
            all += "\n  " + e;
        zeph::fuzz::fail(__FILE__, __LINE__, "host saw, " + when + ":" + all);
    }

    zeph_factory_fn m_factory;
    zeph::host::RecordingHost m_host;
    std::map<std::string, std::deque<std::optional<std::string>>> m_queued;
    std::map<std::string, bool> m_queueing;
    std::vector<char*> m_kept;
    char m_foreign[8] = "foreign";
};

// The input split at line ends; a last line without one counts too.
inline std::vector<std::string> splitLines(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty())
        lines.push_back(current);
    return lines;
}

} // namespace zeph::fuzz
