// Fuzz target: inflating compressed clusters from arbitrary bytes. The first
// byte picks the output room (a cluster size), the rest is the stream.
#include <stddef.h>
#include <stdint.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qcow2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t room = size_t{512} << (data[0] % 13); // 512 B .. 2 MiB
    std::vector<uint8_t> input(data + 1, data + size); // exact size: overreads are caught
    std::vector<uint8_t> output(room);
    size_t produced = room;
    char *error = nullptr;
    const void *source = input.empty() ? static_cast<const void *>(data) : input.data();
    int rc = qcow2_decompress(source, input.size(), output.data(), &produced, &error);
    // Success reports at most the room, or twice it when the stream had
    // more (the buffer is then full); failure always names its reason.
    if ((rc == 0 && produced > room && produced != 2 * room) || (rc != 0 && !error)) {
        std::fprintf(stderr, "qcow2_decompress: rc %d, produced %zu of room %zu\n", rc, produced, room);
        std::abort();
    }
    return 0;
}
