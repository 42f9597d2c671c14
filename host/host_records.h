// The records a host hands a component with its notifications, built from the host's own reading
// of the layout in zeph_records.h. The component library reads them with its own code; sharing
// neither side's code is what lets a layout fault show.
#pragma once

#include "zeph_records.h"

#include <string>
#include <vector>

namespace zeph::host {

// Type 1: the new state of one destination; the text is the routed source's name.
std::vector<char> revertiveRecord(int device, int index, const std::string& text);
// Type 6: one database entry has changed.
std::vector<char> databaseRecord(int device, int database, int index, const std::string& text);

// Type 2: a press on a panel control, with its event split as a parent command is (command, up to
// 32 dotted sub-fields, value after the first '='). The texts live as long as the object.
class ButtonRecord {
public:
    ButtonRecord(const std::string& panel, const std::string& control, const std::string& event);
    ButtonRecord(const ButtonRecord&) = delete;
    ButtonRecord& operator=(const ButtonRecord&) = delete;
    const zeph_button_record* get() const { return &m_record; }
    void* data() { return &m_record; }

private:
    std::string m_panel;
    std::string m_control;
    std::string m_event; // NUL-split in place; the event's pointers point into it
    zeph_parent_event m_parsed{};
    zeph_button_record m_record{};
};

} // namespace zeph::host
