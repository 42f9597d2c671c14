// What both halves of the trace view write: answers as JSON text, long texts cut.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace zeph::bench::trace_view {

// A text in an answer is cut here: a command or a reply may be 64 KiB, and a window holds hundreds.
constexpr size_t kMaxText = 4096;

inline std::string dump(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

inline std::string cut(const std::string& text) {
    return text.size() <= kMaxText ? text : text.substr(0, kMaxText) + "...";
}

} // namespace zeph::bench::trace_view
