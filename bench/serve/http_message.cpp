// The bench's own request and answer: headers are looked up by name in any case.
#include "serve/gate.h"

#include <algorithm>
#include <cctype>

namespace zeph::bench {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (sameName(n, name))
            return v;
    return {};
}

bool HttpRequest::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return sameName(h.first, name); });
}

void HttpResponse::setHeader(const std::string& name, const std::string& value) {
    headers.erase(std::remove_if(headers.begin(), headers.end(),
                                 [&](const auto& h) { return sameName(h.first, name); }),
                  headers.end());
    headers.emplace_back(name, value);
}

void HttpResponse::setContent(std::string content, const std::string& type) {
    body = std::move(content);
    setHeader("Content-Type", type);
}

std::string HttpResponse::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (sameName(n, name))
            return v;
    return {};
}

} // namespace zeph::bench
