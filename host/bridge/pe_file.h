// What the bench can tell about a Windows module from its bytes alone, before any Wine process is
// started: whether it is a 32-bit x86 DLL, and whether it exports the factory.
#pragma once

#include <string>
#include <vector>

namespace zeph::host::bridge {

// True when the file should be loaded as a Windows module: it starts with "MZ", or its name ends
// in ".dll" (so a broken DLL is reported as one, not as a bad shared object).
bool looksLikeWindowsModule(const std::string& path);

struct PeCheck {
    enum class Kind {
        Ok,
        Unreadable,   // cannot be opened or read
        NotPe,        // no MZ or PE header, or headers that run past the end
        NotDll,       // a program, not a DLL
        SixtyFourBit, // PE32+ (x64, arm64)
        OtherMachine, // 32-bit, but not x86
        NoFactory     // no export named load_zeph_client_script
    };
    Kind kind = Kind::Ok;
    std::string why; // for people; empty when Ok
    std::vector<std::string> exports;
};

// Reads the headers and the export names of a file's bytes.
PeCheck inspectPe(const std::vector<unsigned char>& bytes);
PeCheck inspectPeFile(const std::string& path);

} // namespace zeph::host::bridge
