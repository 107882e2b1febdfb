// Big-endian access to on-disk qcow2 fields. The library runs on
// little-endian hosts only, so every helper reverses the bytes; memcpy keeps
// unaligned fields (the header, compressed descriptors) legal.
#include <cstring>

#include "core/export.h"
#include "qcow2.h"

uint32_t be32tohp(const void *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

uint64_t be64tohp(const void *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

uint32_t htobe32p(const void *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

ORU_EXPORT int htobe64p(uint64_t n, void *p) {
    uint64_t v = __builtin_bswap64(n);
    std::memcpy(p, &v, sizeof v);
    return 0;
}
