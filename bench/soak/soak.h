// Many components in one process under one simulated facility: throughput and memory per component.
#pragma once

#include "zeph_client_callback.h"

#include <cstddef>
#include <string>

namespace zeph::bench {

struct SoakOptions {
    int components = 100;
    long long notifications = 100000;
    std::string basePath;
};

struct SoakResult {
    int components = 0;
    long long sent = 0;   // notifications the soak sent
    size_t delivered = 0; // every notification delivered, the facility's own included
    size_t commands = 0;  // commands the components sent
    double seconds = 0;   // wall-clock time of the notification phase
    double perSecond = 0; // delivered / seconds
    // Heap bytes per configured component, with what the host keeps for it (its registration,
    // timers and released-reply records); the endpoint object itself is counted apart.
    double heapPerComponent = 0;
    double hostPerComponent = 0; // heap bytes per host endpoint of the bench
    double rssPerComponent = 0;  // resident bytes per component, endpoint included
    size_t hostErrors = 0;
    bool loadFailed = false;
};

SoakResult soak(zeph_factory_fn factory, const SoakOptions& options);

} // namespace zeph::bench
