#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
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

// Writes buffer[0, length) as runs of blocks: those of zeros as one zeroing
// request each run, the others as one write each run.
uint64_t write_or_zero_runs(VolumeSession &to, uint64_t offset, unsigned char *buffer,
                            uint64_t length, uint64_t block) {
    uint64_t pos = 0;
    while (pos < length) {
        const uint64_t run_start = pos;
        bool zeros = false;
        for (bool first = true; pos < length; first = false) {
            uint64_t next = std::min(length, (offset + pos) / block * block + block - offset);
            bool block_zeros = all_zero(buffer + pos, next - pos);
            if (first) zeros = block_zeros;
            else if (block_zeros != zeros) break;
            pos = next;
        }
        if (zeros) to.write_zeroes(offset + run_start, pos - run_start);
        else to.write(offset + run_start, pos - run_start, buffer + run_start);
    }
    return length;
}

using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

Buffer transfer_buffer(uint64_t bytes) {
    Buffer memory(static_cast<unsigned char *>(std::aligned_alloc(4096, bytes)));
    if (!memory) throw CliError::found(ORU_E_MALLOC, "out of memory for the transfer buffer");
    return memory;
}

// One stretch of at most plan.piece bytes of the plan, in volume order.
struct Piece {
    uint64_t offset = 0, length = 0;
    bool starts_extent = false;
};

std::vector<Piece> cut_into_pieces(const TransferPlan &plan) {
    std::vector<Piece> pieces;
    const uint64_t step = plan.piece;
    if (step == 0 || step % 4096 != 0 || step > kMaxTransfer)
        throw CliError::found(ORU_E_FAIL, "internal: bad piece size");
    for (const Extent &extent : plan.extents) {
        if (extent.offset % kSector != 0) throw CliError::found(ORU_E_FAIL, "internal: range not on a sector boundary");
        uint64_t end = std::min(extent.offset + extent.length, plan.size);
        for (uint64_t pos = extent.offset; pos < end; pos += step)
            pieces.push_back({pos, std::min(step, end - pos), pos == extent.offset});
    }
    return pieces;
}

// A buffer on its way from the source to the target, holding piece `index`.
struct Chunk {
    size_t index = 0;
    Buffer data, reference; // reference: what the baseline holds there
};

// Reading and writing overlap: reader threads fill free chunks while the
// calling thread writes filled ones to the target, in volume order. Each
// volume handle is used by one thread only. A reader takes a buffer and the
// next piece in one step, so the piece the writer waits for always has a
// buffer. A few chunks suffice: more would only hold memory once either
// side is the slower one.
class Pipeline {
  public:
    Pipeline(size_t pieces, size_t readers) : pieces_(pieces), readers_running_(readers) {}

    void give_free(Chunk chunk) {
        {
            std::lock_guard lock(mutex_);
            free_.push_back(std::move(chunk));
        }
        changed_.notify_all();
    }
    // Waits for a free chunk and gives it the next piece; none once every
    // piece is taken or the copy is ending early.
    std::optional<Chunk> take_free() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || next_piece_ == pieces_ || !free_.empty(); });
        if (stopped_ || next_piece_ == pieces_) return std::nullopt;
        Chunk chunk = std::move(free_.front());
        free_.pop_front();
        chunk.index = next_piece_++;
        return chunk;
    }
    void give_filled(Chunk chunk) {
        {
            std::lock_guard lock(mutex_);
            size_t index = chunk.index;
            filled_.emplace(index, std::move(chunk));
        }
        changed_.notify_all();
    }
    // A reader is done, with `failure` when it did not get to the end; the
    // first failure stops the other readers.
    void finish_reading(std::exception_ptr failure) {
        {
            std::lock_guard lock(mutex_);
            --readers_running_;
            if (failure && !failure_) {
                failure_ = std::move(failure);
                stopped_ = true;
            }
        }
        changed_.notify_all();
    }
    // Waits for the next piece in order; none when the readers are done,
    // after rethrowing the first failure if there was one.
    std::optional<Chunk> take_filled() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return readers_running_ == 0 || filled_.count(next_write_) != 0; });
        auto it = filled_.find(next_write_);
        if (it != filled_.end()) {
            Chunk chunk = std::move(it->second);
            filled_.erase(it);
            ++next_write_;
            return chunk;
        }
        if (failure_) std::rethrow_exception(failure_);
        return std::nullopt;
    }
    // The writer gives up: the readers stop at their next piece.
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
    std::deque<Chunk> free_;
    std::map<size_t, Chunk> filled_;
    size_t pieces_, next_piece_ = 0, next_write_ = 0, readers_running_;
    bool stopped_ = false;
    std::exception_ptr failure_;
};

void read_pieces(VolumeSession &from, VolumeSession *baseline, const std::vector<Piece> &pieces,
                 Pipeline &pipeline) {
    std::exception_ptr failure;
    try {
        while (std::optional<Chunk> chunk = pipeline.take_free()) {
            const Piece &piece = pieces[chunk->index];
            uint64_t whole = round_up_sector(piece.length);
            // The last sector of an odd-sized volume is partly past its end:
            // nothing is delivered there, so it must not carry old data.
            std::memset(chunk->data.get() + piece.length, 0, whole - piece.length);
            from.read(piece.offset, piece.length, chunk->data.get());
            if (baseline) {
                // A baseline shorter than the volume delivers nothing past its
                // end, where the target reads zeros.
                std::memset(chunk->reference.get(), 0, whole);
                baseline->read(piece.offset, piece.length, chunk->reference.get());
            }
            pipeline.give_filled(std::move(*chunk));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    pipeline.finish_reading(failure);
}

// Joins the readers whatever way the writer leaves, telling them to stop
// first.
class Readers {
  public:
    explicit Readers(Pipeline &pipeline) : pipeline_(pipeline) {}
    ~Readers() {
        pipeline_.stop();
        for (std::thread &t : threads_) t.join();
    }
    Readers(const Readers &) = delete;
    Readers &operator=(const Readers &) = delete;
    void start(VolumeSession &from, VolumeSession *baseline, const std::vector<Piece> &pieces) {
        threads_.emplace_back([&from, baseline, &pieces, this] { read_pieces(from, baseline, pieces, pipeline_); });
    }

  private:
    Pipeline &pipeline_;
    std::vector<std::thread> threads_;
};

// Each zeroing request covers at most this much, so that the progress meter
// moves while a fallback that writes zeros works through a large range.
constexpr uint64_t kZeroPiece = 1ull << 30;

uint64_t write_zero_ranges(VolumeSession &to, const std::vector<Extent> &zeroes, Progress &progress) {
    uint64_t zeroed = 0;
    for (const Extent &range : zeroes) {
        if (range.offset % kSector != 0 || range.length % kSector != 0)
            throw CliError::found(ORU_E_FAIL, "internal: zero range not on sector boundaries");
        for (uint64_t pos = range.offset, end = range.offset + range.length; pos < end; pos += kZeroPiece) {
            uint64_t length = std::min(kZeroPiece, end - pos);
            to.write_zeroes(pos, length);
            zeroed += length;
            progress.advance(length);
        }
    }
    return zeroed;
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
    std::vector<Piece> pieces = cut_into_pieces(plan);
    std::vector<VolumeSession *> sources{&from};
    if (!plan.baseline) sources.insert(sources.end(), plan.more_sources.begin(), plan.more_sources.end());
    Pipeline pipeline(pieces.size(), sources.size());
    for (size_t i = 0; i < std::min(pieces.size(), 2 * sources.size() + 2); ++i) {
        Chunk chunk;
        chunk.data = transfer_buffer(plan.piece);
        if (plan.baseline) chunk.reference = transfer_buffer(plan.piece);
        pipeline.give_free(std::move(chunk));
    }
    TransferStats stats;
    {
        Readers readers(pipeline);
        for (VolumeSession *source : sources) readers.start(*source, plan.baseline, pieces);
        stats.bytes_zeroed = write_zero_ranges(to, plan.zeroes, progress);
        while (std::optional<Chunk> chunk = pipeline.take_filled()) {
            const Piece &piece = pieces[chunk->index];
            unsigned char *data = chunk->data.get();
            if (plan.zero_blocks_by_zeroing) {
                stats.bytes_written += write_or_zero_runs(to, piece.offset, data, piece.length, plan.block);
            } else if (plan.baseline) {
                stats.bytes_written +=
                    write_changed_runs(to, piece.offset, data, chunk->reference.get(), piece.length, plan.block);
            } else if (plan.skip_zero_blocks) {
                stats.bytes_written += write_changed_runs(to, piece.offset, data, nullptr, piece.length, plan.block);
            } else {
                to.write(piece.offset, piece.length, data);
                stats.bytes_written += piece.length;
            }
            if (plan.after_write) plan.after_write(piece.offset, piece.length);
            stats.bytes_read += piece.length;
            if (piece.starts_extent) ++stats.extents;
            progress.advance(piece.length);
            pipeline.give_free(std::move(*chunk));
        }
    }
    progress.finish();
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return stats;
}

} // namespace orudisk
