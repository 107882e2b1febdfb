#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli_error.h"

namespace orudisk {

namespace {

bool all_zero(const unsigned char *p, uint64_t n) {
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

uint64_t round_up_sector(uint64_t n) { return (n + kSector - 1) / kSector * kSector; }

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// True when buffer[pos, pos + n) is what the target reads there already:
// the reference bytes, or zeros when there is no reference.
bool unchanged(const unsigned char *buffer, const unsigned char *reference, uint64_t pos, uint64_t n) {
    if (reference) return std::memcmp(buffer + pos, reference + pos, n) == 0;
    return all_zero(buffer + pos, n);
}

// Writes the blocks of buffer[0, length) that differ from what the target
// reads already, joining neighbouring ones into single writes. Blocks are
// aligned on multiples of `block` in the volume.
uint64_t write_changed_runs(VolumeSession &to, uint64_t offset, unsigned char *buffer,
                            const unsigned char *reference, uint64_t length, uint64_t block) {
    uint64_t written = 0, pos = 0;
    while (pos < length) {
        uint64_t next = std::min(length, (offset + pos) / block * block + block - offset);
        if (unchanged(buffer, reference, pos, next - pos)) {
            pos = next;
            continue;
        }
        uint64_t run_start = pos;
        pos = next;
        while (pos < length) {
            uint64_t after = std::min(length, pos + block);
            if (unchanged(buffer, reference, pos, after - pos)) break;
            pos = after;
        }
        to.write(offset + run_start, pos - run_start, buffer + run_start);
        written += pos - run_start;
    }
    return written;
}

unsigned char *transfer_buffer(std::unique_ptr<void, FreeDeleter> &memory) {
    memory.reset(std::aligned_alloc(4096, kMaxTransfer));
    if (!memory) throw CliError("out of memory for the transfer buffer");
    return static_cast<unsigned char *>(memory.get());
}

} // namespace

std::vector<Extent> whole_volume(uint64_t size) {
    if (size == 0) return {};
    return {Extent{0, size}};
}

uint64_t total_bytes(const std::vector<Extent> &extents) {
    uint64_t total = 0;
    for (const auto &e : extents) total += e.length;
    return total;
}

TransferStats transfer(VolumeSession &from, VolumeSession &to, const TransferPlan &plan,
                       Progress &progress) {
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<void, FreeDeleter> memory, baseline_memory;
    unsigned char *buffer = transfer_buffer(memory);
    unsigned char *reference = plan.baseline ? transfer_buffer(baseline_memory) : nullptr;
    TransferStats stats;
    for (const Extent &extent : plan.extents) {
        if (extent.offset % kSector != 0) throw CliError("internal: range not on a sector boundary");
        uint64_t end = std::min(extent.offset + extent.length, plan.size);
        if (extent.offset >= end) continue;
        ++stats.extents;
        for (uint64_t pos = extent.offset; pos < end;) {
            uint64_t length = std::min(kMaxTransfer, end - pos);
            uint64_t whole = round_up_sector(length);
            // The last sector of an odd-sized volume is partly past its end:
            // nothing is delivered there, so it must not carry old data.
            std::memset(buffer + length, 0, whole - length);
            from.read(pos, length, buffer);
            stats.bytes_read += length;
            if (plan.baseline) {
                // A baseline shorter than the volume delivers nothing past its
                // end, where the target reads zeros.
                std::memset(reference, 0, whole);
                plan.baseline->read(pos, length, reference);
                stats.bytes_written += write_changed_runs(to, pos, buffer, reference, length, plan.block);
            } else if (plan.skip_zero_blocks) {
                stats.bytes_written += write_changed_runs(to, pos, buffer, nullptr, length, plan.block);
            } else {
                to.write(pos, length, buffer);
                stats.bytes_written += length;
            }
            progress.advance(length);
            pos += length;
        }
    }
    progress.finish();
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return stats;
}

} // namespace orudisk
