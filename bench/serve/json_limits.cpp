// The JSON limits, checked by the library's event parser: it keeps no document, only a count of
// the arrays and objects open and of the values seen, and stops at the first past either limit.
#include "serve/json_limits.h"

#include <nlohmann/json.hpp>

namespace zeph::bench {

namespace {

class DepthCount : public nlohmann::json_sax<nlohmann::json> {
public:
    bool tooDeep = false;
    bool tooMany = false;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t&) override { return value(); }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override { return value() && open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return value() && open(); }
    bool end_array() override { return close(); }
    // Malformed: the action's own parse says so, in its words.
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
        return false;
    }

private:
    bool value() {
        tooMany = ++m_values > kMaxJsonValues;
        return !tooMany;
    }
    bool open() {
        tooDeep = ++m_depth > kMaxJsonDepth;
        return !tooDeep;
    }
    bool close() {
        --m_depth;
        return true;
    }
    size_t m_depth = 0;
    size_t m_values = 0;
};

} // namespace

JsonCheck checkJson(const std::string& body) {
    if (body.size() > kMaxJsonBytes)
        return {413, "the body is " + std::to_string(body.size()) +
                         " bytes; an action takes at most " + std::to_string(kMaxJsonBytes)};
    DepthCount count;
    nlohmann::json::sax_parse(body, &count);
    if (count.tooDeep)
        return {400, "malformed request: the body nests deeper than " +
                         std::to_string(kMaxJsonDepth) + " arrays and objects"};
    if (count.tooMany)
        return {400, "malformed request: the body holds over " + std::to_string(kMaxJsonValues) +
                         " values; an action takes a few fields"};
    return {};
}

} // namespace zeph::bench
