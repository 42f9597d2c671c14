// How large, how deep and how many values a JSON body the page's actions take, measured before any
// document is built of it: a body of a million '[' would otherwise become a million arrays before
// it is found malformed.
#pragma once

#include <cstddef>
#include <string>

namespace zeph::bench {

// Far past what any action sends (a flat object of a few texts and numbers).
constexpr size_t kMaxJsonBytes = size_t{256} * 1024;
constexpr size_t kMaxJsonDepth = 32;
// Values of any kind, containers included: a body of 256 KiB of `{},` would otherwise become 87,000
// objects (7 MiB) before the action finds it is no object of fields.
constexpr size_t kMaxJsonValues = 1024;

struct JsonCheck {
    int status = 0; // 0: within the limits (well formed or not: the action says which)
    std::string why;
};

JsonCheck checkJson(const std::string& body);

} // namespace zeph::bench
