// The fake bridge's launch for the bridge's tests: the same relay as the Windows bridge, built
// natively around a dlopen'ed module.
#ifndef ZEPH_TESTS_FAKE_LAUNCH_H
#define ZEPH_TESTS_FAKE_LAUNCH_H

#include "built_paths.h"
#include "bridge/bridge_connection.h"

#include <filesystem>
#include <string>

inline zeph::host::bridge::Launch fakeLaunch(const std::string& module = zeph::built::bridgeProbe,
                                             double answerSeconds = 10) {
    zeph::host::bridge::Launch l;
    l.argv = {zeph::built::fakeBridge, module};
    l.module = std::filesystem::path(module).filename().string();
    l.startSeconds = 10;
    l.answerSeconds = answerSeconds;
    return l;
}

#endif
