// The texts the bench prints when a bridged component goes wrong: what the bench was asking of
// the bridge, and a Windows exception as a name and the signal a shared object would have died of.
#pragma once

#include <cstdint>
#include <string>

namespace zeph::host::bridge {

// What the bench was asking of the bridge, described only when something goes wrong.
struct Activity {
    const char* what; // "creation", "destruction", "notification", ...
    int type = 0;
    const void* data = nullptr;
    // Whose call it is, "Vigil.dll @alarm" (the DLL, and the instance when it has a name); null:
    // the bridge's own, told as the DLL it was started with.
    const std::string* who = nullptr;
    // A fault the bridge survives ends this call alone (Reply::fault), not the bench.
    bool survivable = false;
};

// "parent \"crash\"", "revertive 1 2 \"CAM 1\"", "creation (base path \"X:/ui\")", ...
std::string describe(const Activity& activity);

// A fault message's line: "access violation (exception 0xc0000005) writing address 0x10 at
// where", and the signal it stands for.
struct FaultText {
    std::string line;
    int signal;
};
FaultText faultText(uint32_t code, uint32_t access, uint64_t target, const std::string& where);

std::string hex(uint64_t v, int digits = 8);

} // namespace zeph::host::bridge
