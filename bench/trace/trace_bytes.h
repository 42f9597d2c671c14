// Little-endian numbers as the trace's records hold them.
#pragma once

#include <cstdint>

namespace zeph::bench::trace {

inline uint32_t le32(const unsigned char* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
inline uint64_t le64(const unsigned char* b) {
    return le32(b) | uint64_t(le32(b + 4)) << 32;
}

} // namespace zeph::bench::trace
