// The page's actions without the HTTP around them: one JSON body in, one step for the session,
// one JSON answer out. The server calls it for every POST under /api/; the fuzz target does too.
#pragma once

#include "serve/session.h"

#include <string>

namespace zeph::bench {

struct ActionReply {
    int status = 200;
    std::string json; // {"ok":true,...} or {"ok":false,"error":"why"}
};

// The action at path ("/api/press", ...) with its JSON body. An unknown path is a 404.
ActionReply pageAction(Session& session, const std::string& path, const std::string& body);

// {"ok":false,"error":why}, one line.
std::string errorJson(const std::string& why);

} // namespace zeph::bench
