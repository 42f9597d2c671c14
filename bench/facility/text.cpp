// Numbers and command fields as the bench reads them.
#include "facility/text.h"

#include <algorithm>
#include <cstdint>

namespace zeph::bench {

std::optional<long long> toNumber(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    const size_t first = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    // 18 digits always fit, so the conversion below cannot overflow.
    if (first == text.size() || text.size() - first > 18)
        return std::nullopt;
    long long value = 0;
    for (size_t i = first; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -value : value;
}

bool isNumber(const std::string& text) {
    return toNumber(text).has_value();
}

std::optional<int> toInt(const std::string& text) {
    auto n = toNumber(text);
    if (!n || *n < INT32_MIN || *n > INT32_MAX)
        return std::nullopt;
    return static_cast<int>(*n);
}

std::vector<CommandField> splitCommand(const std::string& command) {
    std::vector<CommandField> fields;
    if (command.find(' ') == std::string::npos)
        return fields;
    // Most commands have three or four fields: one allocation rather than three.
    fields.reserve(4);
    eachCommandField(command, [&](std::string_view text, bool quoted) {
        fields.push_back({std::string(text), quoted});
        return true;
    });
    return fields;
}

std::vector<std::string> commandFields(const std::string& command) {
    std::vector<std::string> out;
    if (command.find(' ') == std::string::npos)
        return out;
    out.reserve(4);
    eachCommandField(command, [&](std::string_view text, bool) {
        out.emplace_back(text);
        return true;
    });
    return out;
}

} // namespace zeph::bench
