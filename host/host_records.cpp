// Notification records laid out as the host contract has them.
#include "host_records.h"

#include <cstring>

namespace zeph::host {

namespace {
const char kEmpty[] = "";

// Four 32-bit words, then the text and its NUL from byte 16 on.
std::vector<char> textRecord(int w0, int w1, int w2, int w3, const std::string& text) {
    std::vector<char> bytes(ZEPH_RECORD_SIZE(text.size()), 0);
    const int32_t words[4] = {w0, w1, w2, w3};
    std::memcpy(bytes.data(), words, sizeof words);
    std::memcpy(bytes.data() + 16, text.c_str(), text.size() + 1);
    return bytes;
}
} // namespace

std::vector<char> revertiveRecord(int device, int index, const std::string& text) {
    return textRecord(device, 0, index, 0, text);
}

std::vector<char> databaseRecord(int device, int database, int index, const std::string& text) {
    return textRecord(device, database, 0, index, text);
}

ButtonRecord::ButtonRecord(const std::string& panel, const std::string& control,
                           const std::string& event)
    : m_panel(panel), m_control(control), m_event(event) {
    m_parsed.command = m_event.empty() ? kEmpty : m_event.c_str();
    m_parsed.value = kEmpty;
    for (const char*& sub : m_parsed.sub)
        sub = kEmpty;
    size_t subs = 0;
    for (size_t i = 0; i < m_event.size() && subs < 32; ++i) {
        if (m_event[i] == '.') {
            m_event[i] = '\0';
            m_parsed.sub[subs++] = m_event.c_str() + i + 1;
        } else if (m_event[i] == '=') {
            m_event[i] = '\0';
            m_parsed.value = m_event.c_str() + i + 1;
            break;
        }
    }
    m_record.panel = m_panel.c_str();
    m_record.control = m_control.c_str();
    m_record.event = &m_parsed;
}

} // namespace zeph::host
