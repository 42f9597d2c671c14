// The PE headers, read only as far as the bench needs them; every offset is checked against the
// file's size, since the file may be anything.
#include "bridge/pe_file.h"

#include "zeph_client_callback.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace zeph::host::bridge {

namespace {

constexpr uint16_t kMachineI386 = 0x14c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xaa64;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;

class Bytes {
public:
    explicit Bytes(const std::vector<unsigned char>& b) : m_b(b) {}
    bool has(uint64_t offset, uint64_t n) const {
        return offset <= m_b.size() && n <= m_b.size() - offset;
    }
    uint16_t u16(uint64_t o) const { return has(o, 2) ? uint16_t(m_b[o] | m_b[o + 1] << 8) : 0; }
    uint32_t u32(uint64_t o) const {
        return has(o, 4) ? uint32_t(u16(o) | uint32_t(u16(o + 2)) << 16) : 0;
    }
    // A NUL-terminated name at offset; empty when it runs past the end.
    std::string name(uint64_t o) const {
        std::string s;
        for (; o < m_b.size() && m_b[o] && s.size() < 512; ++o)
            s += static_cast<char>(m_b[o]);
        return o < m_b.size() ? s : std::string();
    }

private:
    const std::vector<unsigned char>& m_b;
};

PeCheck fail(PeCheck::Kind kind, std::string why) {
    PeCheck c;
    c.kind = kind;
    c.why = std::move(why);
    return c;
}

} // namespace

bool looksLikeWindowsModule(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos) {
        std::string ext = path.substr(dot);
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](char c) { return char(tolower(c)); });
        if (ext == ".dll")
            return true;
    }
    char magic[2] = {0, 0};
    std::ifstream in(path, std::ios::binary);
    return in.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

PeCheck inspectPe(const std::vector<unsigned char>& bytes) {
    const Bytes b(bytes);
    if (!b.has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z')
        return fail(PeCheck::Kind::NotPe, "not a Windows DLL (no MZ header)");
    const uint32_t pe = b.u32(0x3c);
    if (!b.has(pe, 24) || b.u32(pe) != 0x00004550)
        return fail(PeCheck::Kind::NotPe, "not a Windows DLL (no PE header)");
    const uint16_t machine = b.u16(pe + 4);
    const uint16_t sections = b.u16(pe + 6);
    const uint16_t optionalSize = b.u16(pe + 20);
    const uint16_t characteristics = b.u16(pe + 22);
    const uint64_t opt = pe + 24;
    const uint16_t magic = b.u16(opt);
    if (machine == kMachineAmd64 || machine == kMachineArm64 || magic == kMagicPe32Plus)
        return fail(PeCheck::Kind::SixtyFourBit,
                    "a 64-bit DLL; panel hosts load 32-bit x86 DLLs only");
    if (machine != kMachineI386) {
        char why[96];
        std::snprintf(why, sizeof why, "built for machine 0x%x, not 32-bit x86", machine);
        return fail(PeCheck::Kind::OtherMachine, why);
    }
    if (magic != kMagicPe32 || !b.has(opt, optionalSize) || optionalSize < 104)
        return fail(PeCheck::Kind::NotPe, "not a Windows DLL (bad optional header)");
    if (!(characteristics & kFileDll))
        return fail(PeCheck::Kind::NotDll, "a Windows program, not a DLL");

    PeCheck result;
    const uint32_t directories = b.u32(opt + 92);
    const uint32_t exportRva = directories > 0 ? b.u32(opt + 96) : 0;
    const uint64_t table = opt + optionalSize;
    // File offset of an address in the loaded image, through the section that holds it.
    auto offsetOf = [&](uint32_t rva, uint64_t& offset) {
        for (uint16_t i = 0; i < sections; ++i) {
            const uint64_t s = table + 40ull * i;
            if (!b.has(s, 40))
                return false;
            const uint32_t va = b.u32(s + 12), rawSize = b.u32(s + 16), raw = b.u32(s + 20);
            const uint32_t span = std::max(b.u32(s + 8), rawSize);
            if (rva >= va && rva - va < span && rva - va < rawSize) {
                offset = uint64_t(raw) + (rva - va);
                return true;
            }
        }
        return false;
    };
    uint64_t dir = 0;
    if (exportRva && offsetOf(exportRva, dir) && b.has(dir, 40)) {
        const uint32_t count = std::min<uint32_t>(b.u32(dir + 24), 65536);
        uint64_t names = 0;
        if (offsetOf(b.u32(dir + 32), names)) {
            for (uint32_t i = 0; i < count && b.has(names + 4ull * i, 4); ++i) {
                uint64_t at = 0;
                if (offsetOf(b.u32(names + 4ull * i), at))
                    result.exports.push_back(b.name(at));
            }
        }
    }
    if (std::find(result.exports.begin(), result.exports.end(), ZEPH_FACTORY_NAME) ==
        result.exports.end()) {
        result.kind = PeCheck::Kind::NoFactory;
        result.why = "exports no " ZEPH_FACTORY_NAME;
    }
    return result;
}

PeCheck inspectPeFile(const std::string& path) {
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(PeCheck::Kind::Unreadable, errno ? std::strerror(errno) : "cannot be opened");
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad())
        return fail(PeCheck::Kind::Unreadable, "cannot be read");
    return inspectPe(bytes);
}

} // namespace zeph::host::bridge
