#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

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

using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

Buffer transfer_buffer() {
    Buffer memory(static_cast<unsigned char *>(std::aligned_alloc(4096, kMaxTransfer)));
    if (!memory) throw CliError("out of memory for the transfer buffer");
    return memory;
}

// One stretch of at most kMaxTransfer bytes on its way from the source to
// the target.
struct Chunk {
    uint64_t offset = 0, length = 0;
    bool starts_extent = false;
    Buffer data, reference; // reference: what the baseline holds there
};

// Reading and writing overlap: one thread reads the source (and the
// baseline) into free chunks while the calling thread writes filled ones to
// the target. Each volume handle is used by one thread only. A few chunks
// suffice: more would only hold memory once either side is the slower one.
class Pipeline {
  public:
    void give_free(Chunk chunk) {
        {
            std::lock_guard lock(mutex_);
            free_.push_back(std::move(chunk));
        }
        changed_.notify_all();
    }
    // Waits for a free chunk; none once the writer gave up.
    std::optional<Chunk> take_free() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || !free_.empty(); });
        if (stopped_) return std::nullopt;
        Chunk chunk = std::move(free_.front());
        free_.pop_front();
        return chunk;
    }
    void give_filled(Chunk chunk) {
        {
            std::lock_guard lock(mutex_);
            filled_.push_back(std::move(chunk));
        }
        changed_.notify_all();
    }
    // The reader is done, with `failure` when it did not get to the end.
    void finish_reading(std::exception_ptr failure) {
        {
            std::lock_guard lock(mutex_);
            reading_done_ = true;
            failure_ = std::move(failure);
        }
        changed_.notify_all();
    }
    // Waits for the next filled chunk; none when the reader is done, after
    // rethrowing its failure if it had one.
    std::optional<Chunk> take_filled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return reading_done_ || !filled_.empty(); });
        if (!filled_.empty()) {
            Chunk chunk = std::move(filled_.front());
            filled_.pop_front();
            return chunk;
        }
        if (failure_) std::rethrow_exception(failure_);
        return std::nullopt;
    }
    // The writer gives up: the reader stops at its next chunk.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> free_, filled_;
    bool stopped_ = false, reading_done_ = false;
    std::exception_ptr failure_;
};

constexpr int kChunksInFlight = 3;

void read_plan(VolumeSession &from, const TransferPlan &plan, Pipeline &pipeline) {
    for (const Extent &extent : plan.extents) {
        if (extent.offset % kSector != 0) throw CliError("internal: range not on a sector boundary");
        uint64_t end = std::min(extent.offset + extent.length, plan.size);
        bool first = true;
        for (uint64_t pos = extent.offset; pos < end;) {
            std::optional<Chunk> chunk = pipeline.take_free();
            if (!chunk) return;
            uint64_t length = std::min(kMaxTransfer, end - pos);
            uint64_t whole = round_up_sector(length);
            // The last sector of an odd-sized volume is partly past its end:
            // nothing is delivered there, so it must not carry old data.
            std::memset(chunk->data.get() + length, 0, whole - length);
            from.read(pos, length, chunk->data.get());
            if (plan.baseline) {
                // A baseline shorter than the volume delivers nothing past its
                // end, where the target reads zeros.
                std::memset(chunk->reference.get(), 0, whole);
                plan.baseline->read(pos, length, chunk->reference.get());
            }
            chunk->offset = pos;
            chunk->length = length;
            chunk->starts_extent = first;
            first = false;
            pipeline.give_filled(std::move(*chunk));
            pos += length;
        }
    }
}

// Joins the reader whatever way the writer leaves, telling it to stop first.
class ReaderThread {
  public:
    ReaderThread(Pipeline &pipeline, std::thread thread) : pipeline_(pipeline), thread_(std::move(thread)) {}
    ~ReaderThread() {
        pipeline_.stop();
        thread_.join();
    }
    ReaderThread(const ReaderThread &) = delete;
    ReaderThread &operator=(const ReaderThread &) = delete;

  private:
    Pipeline &pipeline_;
    std::thread thread_;
};

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
    Pipeline pipeline;
    for (int i = 0; i < kChunksInFlight; ++i) {
        Chunk chunk;
        chunk.data = transfer_buffer();
        if (plan.baseline) chunk.reference = transfer_buffer();
        pipeline.give_free(std::move(chunk));
    }
    TransferStats stats;
    {
        ReaderThread reader(pipeline, std::thread([&] {
                                std::exception_ptr failure;
                                try {
                                    read_plan(from, plan, pipeline);
                                } catch (...) {
                                    failure = std::current_exception();
                                }
                                pipeline.finish_reading(failure);
                            }));
        while (std::optional<Chunk> chunk = pipeline.take_filled()) {
            unsigned char *data = chunk->data.get();
            if (plan.baseline) {
                stats.bytes_written +=
                    write_changed_runs(to, chunk->offset, data, chunk->reference.get(), chunk->length, plan.block);
            } else if (plan.skip_zero_blocks) {
                stats.bytes_written += write_changed_runs(to, chunk->offset, data, nullptr, chunk->length, plan.block);
            } else {
                to.write(chunk->offset, chunk->length, data);
                stats.bytes_written += chunk->length;
            }
            stats.bytes_read += chunk->length;
            if (chunk->starts_extent) ++stats.extents;
            progress.advance(chunk->length);
            pipeline.give_free(std::move(*chunk));
        }
    }
    progress.finish();
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return stats;
}

} // namespace orudisk
