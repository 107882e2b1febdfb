// iSCSI branch of the volume operations: a "lanfree" volume whose LUN is
// reached directly through libiscsi. Every operation blocks until it is
// done; inside one call, runs of whole blocks keep several commands in
// flight on the session, and nothing stays outstanding when the call returns.
//
// The dispatch hands us byte offsets and lengths (after the LUKS shift); the
// LUN speaks in its own logical blocks. Everything here translates between
// the two without ever touching bytes the caller did not name: whole blocks
// go straight between the caller's buffer and the target, partial blocks
// at either end go through a one-block bounce buffer (read-modify-write on
// writes). Transfers are split so that no command exceeds what its CDB can
// address, and addresses past 32 bits use the 16-byte commands.
//
// Every wait on the target (the login, each command, the logout) goes
// through libiscsi's asynchronous calls and our own event loop, bounded by
// ORU_NET_TIMEOUT seconds (read when the call starts) without progress: a
// silent portal or target fails the call instead of holding it. A command
// that timed out leaves the session in an unknown state (the target may
// still answer it), so the session is given up: its context is released,
// later reads and writes fail at once and the close has nothing to end.
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/last_error.h"
#include "remote/iscsi_command.h"
#include "remote/transport.h"
#include "util/net_deadline.h"

namespace {

constexpr char kErrContext[] = "iscsi failed to create context\n";
constexpr char kErrUrl[] = "iscsi failed to parse URL\n";
constexpr char kErrLogin[] = "iscsi login failed\n";
constexpr char kErrCapacitySend[] = "iscsi failed to send readcapacity command\n";
constexpr char kErrCapacityDecode[] = "iscsi failed to unmarshall readcapacity10 data\n";
constexpr char kErrRead[] = "iscsi failed to send Read10 command\n";
constexpr char kErrWrite[] = "iscsi failed to send Write10 command\n";
constexpr char kErrLoginTimeout[] = "iscsi login timed out\n";
constexpr char kErrCapacityTimeout[] = "iscsi readcapacity command timed out\n";
constexpr char kErrReadTimeout[] = "iscsi Read10 command timed out\n";
constexpr char kErrWriteTimeout[] = "iscsi Write10 command timed out\n";
constexpr char kErrWriteSame[] = "iscsi failed to send WriteSame16 command\n";
constexpr char kErrWriteSameTimeout[] = "iscsi WriteSame16 command timed out\n";
constexpr char kErrSync[] = "iscsi failed to send SynchronizeCache16 command\n";
constexpr char kErrSyncTimeout[] = "iscsi SynchronizeCache16 command timed out\n";
constexpr char kErrProbeTimeout[] = "iscsi inquiry command timed out\n";

// The bytes that the LUKS header occupies at the start of the LUN.
constexpr uint64_t kLuksHeaderBytes = 1052672;

// READ CAPACITY (10) answers this when the last address does not fit 32 bits.
constexpr uint32_t kCapacity10Overflow = 0xFFFFFFFFu;
constexpr uint64_t kLast32BitLba = 0xFFFFFFFFull;

// Runs of whole blocks go out as several commands at once, so that the
// target reads the next piece while the previous one is on the wire. A
// command never holds more blocks than the 16-bit count of a 10-byte CDB
// can carry (65,535), so a 32 MiB request is always split.
constexpr uint64_t kCommandBytes = 4 * 1024 * 1024;
constexpr uint64_t kMaxBlocksPerCommand = 32768;
constexpr int kCommandsInFlight = 8;
constexpr int kServiceIntervalMs = 1000;

// WRITE SAME moves one block whatever it covers. A target that states no
// MAXIMUM WRITE SAME LENGTH gets what the 10-byte command could carry, and
// none gets more than 1 GiB per command: a target that writes the zeros
// block by block must still answer well within ORU_NET_TIMEOUT.
constexpr uint64_t kUnstatedWriteSameBlocks = 65535;
constexpr uint64_t kMostWriteSameBytes = 1ull << 30;
// Zeros written as data where the LUN refuses WRITE SAME: a full pipeline.
constexpr uint64_t kZeroBufferBytes = kCommandBytes * kCommandsInFlight;

// Block lengths we accept from READ CAPACITY; anything else is a broken
// answer, and the bounce buffer is sized from it.
constexpr uint32_t kMinBlockLength = 512;
constexpr uint32_t kMaxBlockLength = 1u << 20;

using oru::iscsi::Task;

struct UrlDeleter {
    void operator()(iscsi_url *url) const { iscsi_destroy_url(url); }
};

struct ContextDeleter {
    void operator()(iscsi_context *ctx) const { iscsi_destroy_context(ctx); }
};
using Context = std::unique_ptr<iscsi_context, ContextDeleter>;

oruError fail(const char *text, oruError code) {
    oru::set_slot(iscsierror, text);
    return code;
}

bool good(const Task &task) {
    return task && task->status == SCSI_STATUS_GOOD;
}

// ORU_NET_TIMEOUT seconds from now; started again whenever the session
// makes progress, so that only silence counts against it.
struct Limit {
    int seconds = oru::net::timeout_seconds();
    oru::net::Deadline deadline{std::chrono::seconds(seconds)};
    void restart() { deadline = oru::net::Deadline(std::chrono::seconds(seconds)); }
};

enum class Turn { ok, failed, timed_out };

// One round of the session's event loop: waits for the socket (at most a
// second, so that libiscsi's own housekeeping runs) and lets libiscsi move
// data. failed: the connection broke; timed_out: the limit passed in silence.
Turn step(iscsi_context *ctx, Limit &limit) {
    pollfd pfd{iscsi_get_fd(ctx), static_cast<short>(iscsi_which_events(ctx)), 0};
    if (pfd.fd < 0) return Turn::failed;
    int ready = poll(&pfd, 1, std::min(limit.deadline.remaining_ms(), kServiceIntervalMs));
    if (ready < 0) return errno == EINTR ? Turn::ok : Turn::failed;
    if (iscsi_service(ctx, ready > 0 ? pfd.revents : 0) < 0) return Turn::failed;
    if (ready > 0)
        limit.restart();
    else if (limit.deadline.expired())
        return Turn::timed_out;
    return Turn::ok;
}

// What the callback of a single command or login step reports.
struct Outcome {
    bool done = false;
    int status = SCSI_STATUS_ERROR;
};

void record(iscsi_context *, int status, void *, void *private_data) {
    auto *outcome = static_cast<Outcome *>(private_data);
    outcome->done = true;
    outcome->status = status;
}

// Runs the session until outcome is done or the wait fails.
Turn drive(iscsi_context *ctx, const Outcome &outcome, Limit &limit) {
    while (!outcome.done) {
        Turn turn = step(ctx, limit);
        if (turn != Turn::ok) return turn;
    }
    return Turn::ok;
}

// Waits for one command issued with record() and &outcome. On a failed
// wait the command is cancelled, so nothing queued still points at the
// caller's memory; the caller frees the task in every case.
Turn await(iscsi_context *ctx, const Task &task, const Outcome &outcome, Limit &limit) {
    if (!task) return Turn::failed;
    Turn turn = drive(ctx, outcome, limit);
    if (turn != Turn::ok) iscsi_scsi_cancel_all_tasks(ctx);
    return turn;
}

// Logs out within the limit and releases the context; the session ends
// either way.
void end_session(iscsi_context *ctx) {
    Outcome outcome;
    Limit limit;
    if (iscsi_logout_async(ctx, record, &outcome) == 0) drive(ctx, outcome, limit);
    // Released while outcome lives: a logout still queued is cancelled
    // through its callback.
    iscsi_destroy_context(ctx);
}

// Bytes the target actually moved for a task that asked for `asked` bytes.
uint64_t bytes_moved(const scsi_task *task, uint64_t asked) {
    if (task->residual_status != SCSI_RESIDUAL_UNDERFLOW) return asked;
    return task->residual >= asked ? 0 : asked - task->residual;
}

// The LUN's last block address and block length. READ CAPACITY (16) is asked
// only when the 10-byte answer cannot express the size.
oruError read_capacity(iscsi_context *ctx, int lun, uint64_t *last_lba, uint32_t *block_length) {
    Limit limit;
    Outcome asked10;
    Task rc10(iscsi_readcapacity10_task(ctx, lun, 0, 0, record, &asked10));
    Turn turn = await(ctx, rc10, asked10, limit);
    if (turn == Turn::timed_out) return fail(kErrCapacityTimeout, ORU_ISCSI_OPEN);
    if (turn != Turn::ok || !good(rc10)) return fail(kErrCapacitySend, ORU_ISCSI_OPEN);
    auto *cap10 = static_cast<scsi_readcapacity10 *>(scsi_datain_unmarshall(rc10.get()));
    if (!cap10) return fail(kErrCapacityDecode, ORU_ISCSI_OPEN);
    *last_lba = cap10->lba;
    *block_length = cap10->block_size;
    if (cap10->lba == kCapacity10Overflow) {
        Outcome asked16;
        Task rc16(iscsi_readcapacity16_task(ctx, lun, record, &asked16));
        turn = await(ctx, rc16, asked16, limit);
        if (turn == Turn::timed_out) return fail(kErrCapacityTimeout, ORU_ISCSI_OPEN);
        if (turn != Turn::ok || !good(rc16)) return fail(kErrCapacitySend, ORU_ISCSI_OPEN);
        auto *cap16 = static_cast<scsi_readcapacity16 *>(scsi_datain_unmarshall(rc16.get()));
        if (!cap16) return fail(kErrCapacityDecode, ORU_ISCSI_OPEN);
        *last_lba = cap16->returned_lba;
        *block_length = cap16->block_length;
    }
    if (*block_length < kMinBlockLength || *block_length > kMaxBlockLength)
        return fail(kErrCapacityDecode, ORU_ISCSI_OPEN);
    return ORU_OK;
}

// The session of a handle whose command timed out is given up (see the top
// of this file); the call fails with its usual code and a text that says why.
void abandon_session(oruDiskLibInHandle *h) {
    iscsi_scsi_cancel_all_tasks(h->iscsi);
    iscsi_destroy_context(h->iscsi);
    h->iscsi = nullptr;
}

oruError give_up(oruDiskLibInHandle *h, bool writing) {
    abandon_session(h);
    return writing ? fail(kErrWriteTimeout, ORU_ISCSI_WRITE)
                   : fail(kErrReadTimeout, ORU_ISCSI_READ);
}

// One READ of `blocks` whole blocks at `lba` straight into `dest`. Bytes the
// target does not return are left as they were. *moved gets the byte count;
// ok only when the command succeeded.
Turn read_blocks(oruDiskLibInHandle *h, uint64_t lba, uint32_t blocks, uint8_t *dest,
                 uint64_t *moved, Limit &limit) {
    const uint32_t bytes = blocks * static_cast<uint32_t>(h->blocksize);
    scsi_iovec iov{dest, bytes};
    Outcome outcome;
    Task task(lba + blocks - 1 > kLast32BitLba
                  ? iscsi_read16_iov_task(h->iscsi, h->lun, lba, bytes, h->blocksize, 0, 0, 0, 0, 0,
                                          record, &outcome, &iov, 1)
                  : iscsi_read10_iov_task(h->iscsi, h->lun, static_cast<uint32_t>(lba), bytes,
                                          h->blocksize, 0, 0, 0, 0, 0, record, &outcome, &iov, 1));
    Turn turn = await(h->iscsi, task, outcome, limit);
    if (turn != Turn::ok) return turn;
    if (!good(task)) return Turn::failed;
    *moved = bytes_moved(task.get(), bytes);
    return Turn::ok;
}

Turn write_blocks(oruDiskLibInHandle *h, uint64_t lba, uint32_t blocks, uint8_t *src,
                  Limit &limit) {
    const uint32_t bytes = blocks * static_cast<uint32_t>(h->blocksize);
    Outcome outcome;
    Task task(lba + blocks - 1 > kLast32BitLba
                  ? iscsi_write16_task(h->iscsi, h->lun, lba, src, bytes, h->blocksize, 0, 0, 0, 0,
                                       0, record, &outcome)
                  : iscsi_write10_task(h->iscsi, h->lun, static_cast<uint32_t>(lba), src, bytes,
                                       h->blocksize, 0, 0, 0, 0, 0, record, &outcome));
    Turn turn = await(h->iscsi, task, outcome, limit);
    if (turn != Turn::ok) return turn;
    return good(task) ? Turn::ok : Turn::failed;
}

// What a run of whole blocks does with each command's blocks.
enum class Op { read, write, same };

// The commands of one run that are out, and whether any of them failed.
struct RunProgress {
    int in_flight = 0;
    bool failed = false;
};

// One command of a run of whole blocks.
struct Command {
    uint64_t lba;
    uint32_t blocks;
    uint8_t *data;
    scsi_iovec iov;
    RunProgress *progress;
};

void command_done(iscsi_context *, int status, void *command_data, void *private_data) {
    auto *command = static_cast<Command *>(private_data);
    if (status != SCSI_STATUS_GOOD) command->progress->failed = true;
    // Bytes a short read did not return stay as they were in the caller's
    // buffer: the data went straight there, so nothing else is needed.
    if (command_data) scsi_free_scsi_task(static_cast<scsi_task *>(command_data));
    --command->progress->in_flight;
}

scsi_task *issue(oruDiskLibInHandle *h, Command &command, Op op, bool unmap) {
    const uint32_t bytes = command.blocks * static_cast<uint32_t>(h->blocksize);
    const bool wide = command.lba + command.blocks - 1 > kLast32BitLba;
    const uint32_t lba32 = static_cast<uint32_t>(command.lba);
    if (op == Op::same) {
        // One block of data, repeated by the target over all the blocks.
        return iscsi_writesame16_task(h->iscsi, h->lun, command.lba, command.data,
                                      static_cast<uint32_t>(h->blocksize), command.blocks, 0,
                                      unmap ? 1 : 0, 0, 0, command_done, &command);
    }
    if (op == Op::write) {
        return wide ? iscsi_write16_task(h->iscsi, h->lun, command.lba, command.data, bytes,
                                         h->blocksize, 0, 0, 0, 0, 0, command_done, &command)
                    : iscsi_write10_task(h->iscsi, h->lun, lba32, command.data, bytes, h->blocksize,
                                         0, 0, 0, 0, 0, command_done, &command);
    }
    command.iov = {command.data, bytes};
    return wide ? iscsi_read16_iov_task(h->iscsi, h->lun, command.lba, bytes, h->blocksize, 0, 0, 0,
                                        0, 0, command_done, &command, &command.iov, 1)
                : iscsi_read10_iov_task(h->iscsi, h->lun, lba32, bytes, h->blocksize, 0, 0, 0, 0, 0,
                                        command_done, &command, &command.iov, 1);
}

// Whole blocks from `lba` on, as commands of at most kBlocksPerCommand
// blocks (per_command for WRITE SAME, whose one block of data stays in
// place) with up to kCommandsInFlight of them outstanding: the target works
// on the next piece while the previous one is on the wire.
oruError run(oruDiskLibInHandle *h, uint64_t lba, uint64_t blocks, uint8_t *data, Op op,
             Limit &limit, uint64_t per_command = 0, bool unmap = false) {
    const bool writing = op != Op::read;
    const uint64_t block_length = static_cast<uint64_t>(h->blocksize);
    if (op != Op::same)
        per_command = std::clamp<uint64_t>(kCommandBytes / block_length, 1, kMaxBlocksPerCommand);
    std::vector<Command> commands;
    commands.reserve(static_cast<size_t>((blocks + per_command - 1) / per_command));
    RunProgress progress;
    for (uint64_t done = 0; done < blocks;) {
        const uint32_t n = static_cast<uint32_t>(std::min(blocks - done, per_command));
        uint8_t *at = op == Op::same ? data : data + done * block_length;
        commands.push_back({lba + done, n, at, {}, &progress});
        done += n;
    }
    // Once a command fails or cannot be sent, nothing more is sent; the
    // commands already out are awaited, since they point into the buffer.
    size_t next = 0;
    while (progress.in_flight > 0 || (!progress.failed && next < commands.size())) {
        while (!progress.failed && next < commands.size() &&
               progress.in_flight < kCommandsInFlight) {
            if (!issue(h, commands[next], op, unmap)) {
                progress.failed = true;
                break;
            }
            ++progress.in_flight;
            ++next;
        }
        if (progress.in_flight == 0) continue;
        // A connection that fails or falls silent cancels everything in
        // flight (each callback still runs), so no command outlives the
        // call that issued it.
        Turn turn = step(h->iscsi, limit);
        if (turn == Turn::timed_out) return give_up(h, writing);
        if (turn == Turn::failed) iscsi_scsi_cancel_all_tasks(h->iscsi);
    }
    if (!progress.failed) return ORU_OK;
    return writing ? fail(kErrWrite, ORU_ISCSI_WRITE) : fail(kErrRead, ORU_ISCSI_READ);
}

// The bytes [within, within + count) of block `lba`, through a bounce block.
oruError read_partial(oruDiskLibInHandle *h, uint64_t lba, uint32_t within, uint32_t count,
                      uint8_t *dest, Limit &limit) {
    std::vector<uint8_t> block(static_cast<size_t>(h->blocksize));
    uint64_t moved = 0;
    Turn turn = read_blocks(h, lba, 1, block.data(), &moved, limit);
    if (turn == Turn::timed_out) return give_up(h, false);
    if (turn != Turn::ok) return fail(kErrRead, ORU_ISCSI_READ);
    if (moved > within)
        std::memcpy(dest, block.data() + within, std::min<uint64_t>(count, moved - within));
    return ORU_OK;
}

// Read-modify-write of part of one block: the neighbours of the caller's
// bytes are written back exactly as the target holds them.
oruError write_partial(oruDiskLibInHandle *h, uint64_t lba, uint32_t within, uint32_t count,
                       const uint8_t *src, Limit &limit) {
    std::vector<uint8_t> block(static_cast<size_t>(h->blocksize));
    uint64_t moved = 0;
    // Without the whole old block the neighbours cannot be preserved.
    Turn turn = read_blocks(h, lba, 1, block.data(), &moved, limit);
    if (turn == Turn::timed_out) return give_up(h, true);
    if (turn != Turn::ok || moved < block.size()) return fail(kErrRead, ORU_ISCSI_WRITE);
    std::memcpy(block.data() + within, src, count);
    turn = write_blocks(h, lba, 1, block.data(), limit);
    if (turn == Turn::timed_out) return give_up(h, true);
    if (turn != Turn::ok) return fail(kErrWrite, ORU_ISCSI_WRITE);
    return ORU_OK;
}

// Moves [offset, offset + length) of the LUN: a partial head block, a run of
// whole blocks, a partial tail block; each part only where present.
oruError transfer(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, uint8_t *buffer,
                  bool writing) {
    const oruError refused = writing ? ORU_ISCSI_WRITE : ORU_ISCSI_READ;
    const char *refused_text = writing ? kErrWrite : kErrRead;
    if (!h->iscsi || h->blocksize <= 0) return fail(refused_text, refused);
    if (length == 0) return ORU_OK;
    if (!buffer || offset > UINT64_MAX - length) return fail(refused_text, refused);

    Limit limit;
    const uint64_t block_length = static_cast<uint64_t>(h->blocksize);
    uint64_t lba = offset / block_length;
    const uint64_t head = offset % block_length;
    if (head != 0 || length < block_length) {
        const uint64_t count = std::min(length, block_length - head);
        oruError err = writing ? write_partial(h, lba, static_cast<uint32_t>(head),
                                               static_cast<uint32_t>(count), buffer, limit)
                               : read_partial(h, lba, static_cast<uint32_t>(head),
                                              static_cast<uint32_t>(count), buffer, limit);
        if (err != ORU_OK) return err;
        buffer += count;
        length -= count;
        ++lba;
    }
    const uint64_t whole = length / block_length;
    if (whole > 0) {
        oruError err = run(h, lba, whole, buffer, writing ? Op::write : Op::read, limit);
        if (err != ORU_OK) return err;
        buffer += whole * block_length;
        length -= whole * block_length;
        lba += whole;
    }
    if (length > 0) {
        return writing ? write_partial(h, lba, 0, static_cast<uint32_t>(length), buffer, limit)
                       : read_partial(h, lba, 0, static_cast<uint32_t>(length), buffer, limit);
    }
    return ORU_OK;
}

// How the LUN zeroes, from READ CAPACITY (16) and the Block Limits and
// Logical Block Provisioning VPD pages, asked once at attach (the handle
// keeps it, so that GetInfo and the extents query send nothing). A target
// that cannot answer one of them is taken at the conservative reading (no
// UNMAP, the unstated limit); one that falls silent fails the attach.
struct ZeroMeans {
    bool unmap = false;             // WRITE SAME with UNMAP leaves blocks that read as zeros
    uint64_t most_blocks = 0;       // blocks per WRITE SAME
    uint32_t physical_exponent = 0; // logical blocks per physical block, as a power of 2
};

using oru::iscsi::Answer;

// The target refused the command itself (it does not know it or a field).
bool refused(const scsi_task *task) {
    return task->status == SCSI_STATUS_CHECK_CONDITION &&
           task->sense.key == SCSI_SENSE_ILLEGAL_REQUEST;
}

oruError zero_means(oruDiskLibInHandle *h, ZeroMeans *means) {
    const uint64_t block_length = static_cast<uint64_t>(h->blocksize);
    means->most_blocks = std::min(kUnstatedWriteSameBlocks, kMostWriteSameBytes / block_length);
    bool lbpme = false, lbprz = false;
    Task task;
    Answer answer = oru::iscsi::command(
        h,
        [h](iscsi_command_cb done, void *data) {
            return iscsi_readcapacity16_task(h->iscsi, h->lun, done, data);
        },
        &task);
    if (answer == Answer::timed_out) return fail(kErrCapacityTimeout, ORU_ISCSI_OPEN);
    if (answer == Answer::given && task->status == SCSI_STATUS_GOOD) {
        if (auto *cap = static_cast<scsi_readcapacity16 *>(scsi_datain_unmarshall(task.get()))) {
            lbpme = cap->lbpme != 0;
            lbprz = cap->lbprz != 0;
            if (cap->lbppbe < 16) means->physical_exponent = cap->lbppbe;
        }
    }
    answer = oru::iscsi::command(
        h,
        [h](iscsi_command_cb done, void *data) {
            return iscsi_inquiry_task(h->iscsi, h->lun, 1, SCSI_INQUIRY_PAGECODE_BLOCK_LIMITS, 255,
                                      done, data);
        },
        &task);
    if (answer == Answer::timed_out) return fail(kErrProbeTimeout, ORU_ISCSI_OPEN);
    if (answer == Answer::given && task->status == SCSI_STATUS_GOOD) {
        auto *limits = static_cast<scsi_inquiry_block_limits *>(scsi_datain_unmarshall(task.get()));
        if (limits && limits->max_ws_len > 0)
            means->most_blocks = std::min(limits->max_ws_len, kMostWriteSameBytes / block_length);
    }
    // UNMAP only helps where unmapped blocks read as zeros and the LUN takes
    // it with WRITE SAME (16).
    if (!lbpme || !lbprz) return ORU_OK;
    answer = oru::iscsi::command(
        h,
        [h](iscsi_command_cb done, void *data) {
            return iscsi_inquiry_task(h->iscsi, h->lun, 1,
                                      SCSI_INQUIRY_PAGECODE_LOGICAL_BLOCK_PROVISIONING, 255, done,
                                      data);
        },
        &task);
    if (answer == Answer::timed_out) return fail(kErrProbeTimeout, ORU_ISCSI_OPEN);
    if (answer == Answer::given && task->status == SCSI_STATUS_GOOD) {
        auto *lbp = static_cast<scsi_inquiry_logical_block_provisioning *>(
            scsi_datain_unmarshall(task.get()));
        means->unmap = lbp && lbp->lbpws;
    }
    return ORU_OK;
}

// Zeros written as data, for a LUN that refuses WRITE SAME.
oruError write_zero_blocks(oruDiskLibInHandle *h, uint64_t lba, uint64_t blocks, Limit &limit) {
    const uint64_t block_length = static_cast<uint64_t>(h->blocksize);
    const uint64_t per_round = std::max<uint64_t>(1, kZeroBufferBytes / block_length);
    std::vector<uint8_t> zeros(static_cast<size_t>(std::min(blocks, per_round) * block_length));
    while (blocks > 0) {
        const uint64_t n = std::min(blocks, per_round);
        if (oruError err = run(h, lba, n, zeros.data(), Op::write, limit); err != ORU_OK)
            return err;
        lba += n;
        blocks -= n;
    }
    return ORU_OK;
}

// Whole blocks from `lba` on read as zeros afterwards: WRITE SAME (16) of a
// zero block, with UNMAP where the LUN then reads zeros, pipelined as the
// writes are. The first command goes alone, so that a target that does not
// know the command (or the UNMAP bit) is answered with zeros written as data.
oruError zero_blocks(oruDiskLibInHandle *h, uint64_t lba, uint64_t blocks, Limit &limit) {
    ZeroMeans means;
    means.unmap = h->unmap_zeroes != 0;
    means.most_blocks = h->write_same_blocks;
    if (means.most_blocks == 0) // a handle that no attach filled in
        means.most_blocks = std::min(kUnstatedWriteSameBlocks,
                                     kMostWriteSameBytes / static_cast<uint64_t>(h->blocksize));
    std::vector<uint8_t> zero_block(static_cast<size_t>(h->blocksize));
    const uint64_t first = std::min(blocks, means.most_blocks);
    Task task;
    const Answer answer = oru::iscsi::command(
        h,
        [&](iscsi_command_cb done, void *data) {
            return iscsi_writesame16_task(
                h->iscsi, h->lun, lba, zero_block.data(), static_cast<uint32_t>(h->blocksize),
                static_cast<uint32_t>(first), 0, means.unmap ? 1 : 0, 0, 0, done, data);
        },
        &task);
    if (answer == Answer::timed_out) return fail(kErrWriteSameTimeout, ORU_ISCSI_WRITE);
    if (answer != Answer::given) return fail(kErrWriteSame, ORU_ISCSI_WRITE);
    if (task->status != SCSI_STATUS_GOOD) {
        if (refused(task.get())) return write_zero_blocks(h, lba, blocks, limit);
        return fail(kErrWriteSame, ORU_ISCSI_WRITE);
    }
    if (blocks == first) return ORU_OK;
    return run(h, lba + first, blocks - first, zero_block.data(), Op::same, limit,
               means.most_blocks, means.unmap);
}

// Zeroes [offset, offset + length) of the LUN: partial blocks at either end
// through the read-modify-write path, whole blocks by zero_blocks.
oruError zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    if (!h->iscsi || h->blocksize <= 0) return fail(kErrWrite, ORU_ISCSI_WRITE);
    if (length == 0) return ORU_OK;
    Limit limit;
    const uint64_t block_length = static_cast<uint64_t>(h->blocksize);
    const std::vector<uint8_t> zeros(static_cast<size_t>(block_length));
    uint64_t lba = offset / block_length;
    const uint64_t head = offset % block_length;
    if (head != 0 || length < block_length) {
        const uint64_t count = std::min(length, block_length - head);
        if (oruError err = write_partial(h, lba, static_cast<uint32_t>(head),
                                         static_cast<uint32_t>(count), zeros.data(), limit);
            err != ORU_OK)
            return err;
        length -= count;
        ++lba;
    }
    const uint64_t whole = length / block_length;
    if (whole > 0) {
        if (oruError err = zero_blocks(h, lba, whole, limit); err != ORU_OK) return err;
        length -= whole * block_length;
        lba += whole;
    }
    if (length == 0) return ORU_OK;
    return write_partial(h, lba, 0, static_cast<uint32_t>(length), zeros.data(), limit);
}

// SYNCHRONIZE CACHE (16) over the whole LUN, or the 10-byte form where the
// target does not know it; a target that knows neither keeps no cache that
// could be flushed.
oruError synchronize(oruDiskLibInHandle *h) {
    for (bool wide : {true, false}) {
        Task task;
        const Answer answer = oru::iscsi::command(
            h,
            [h, wide](iscsi_command_cb done, void *data) {
                return wide
                           ? iscsi_synchronizecache16_task(h->iscsi, h->lun, 0, 0, 0, 0, done, data)
                           : iscsi_synchronizecache10_task(h->iscsi, h->lun, 0, 0, 0, 0, done,
                                                           data);
            },
            &task);
        if (answer == Answer::timed_out) return fail(kErrSyncTimeout, ORU_ISCSI_WRITE);
        if (answer != Answer::given) return fail(kErrSync, ORU_ISCSI_WRITE);
        if (task->status == SCSI_STATUS_GOOD) return ORU_OK;
        if (!refused(task.get())) return fail(kErrSync, ORU_ISCSI_WRITE);
    }
    return ORU_OK;
}

void release_session(oruDiskLibInHandle *h) {
    if (!h->iscsi) return;
    end_session(h->iscsi);
    h->iscsi = nullptr;
}

} // namespace

oru::iscsi::Answer
oru::iscsi::command(oruDiskLibInHandle *h,
                    const std::function<scsi_task *(iscsi_command_cb, void *)> &send, Task *task) {
    task->reset();
    if (!h->iscsi) return Answer::failed;
    Limit limit;
    Outcome outcome;
    task->reset(send(record, &outcome));
    switch (await(h->iscsi, *task, outcome, limit)) {
    case Turn::ok:
        return Answer::given;
    case Turn::timed_out:
        abandon_session(h);
        return Answer::timed_out;
    default:
        return Answer::failed;
    }
}

// On failure the handle holds no context (h->iscsi is null), so a later close
// has nothing to release.
oruError remote_iscsi_attach(oruDiskLibInHandle *h, const oruDiskLibVolume *volume) {
    if (!h || !volume) return ORU_E_PARAMS;
    release_session(h); // a handle opened twice must not leak its first session
    if (!volume->initiator) return fail(kErrContext, ORU_ISCSI_OPEN);
    // Declared before the context: releasing a context runs the callbacks
    // of what it still holds, and the login's writes here.
    Outcome login;
    Context ctx(iscsi_create_context(volume->initiator));
    if (!ctx) return fail(kErrContext, ORU_ISCSI_OPEN);
    std::unique_ptr<iscsi_url, UrlDeleter> url(
        volume->targeturl ? iscsi_parse_full_url(ctx.get(), volume->targeturl) : nullptr);
    if (!url) return fail(kErrUrl, ORU_ISCSI_OPEN);

    iscsi_set_session_type(ctx.get(), ISCSI_SESSION_NORMAL);
    iscsi_set_header_digest(ctx.get(), ISCSI_HEADER_DIGEST_NONE_CRC32C);
    // A broken session must show up as a failed read or write, not as a
    // silent (and possibly endless) reconnect inside the call.
    iscsi_set_noautoreconnect(ctx.get(), 1);
    if (iscsi_full_connect_async(ctx.get(), url->portal, url->lun, record, &login) != 0)
        return fail(kErrLogin, ORU_ISCSI_OPEN);
    Limit limit;
    Turn turn = drive(ctx.get(), login, limit);
    if (turn == Turn::timed_out) return fail(kErrLoginTimeout, ORU_ISCSI_OPEN);
    if (turn != Turn::ok || login.status != SCSI_STATUS_GOOD)
        return fail(kErrLogin, ORU_ISCSI_OPEN);
    const int lun = url->lun;
    url.reset();

    uint64_t last_lba = 0;
    uint32_t block_length = 0;
    if (oruError err = read_capacity(ctx.get(), lun, &last_lba, &block_length); err != ORU_OK) {
        // A target that fell silent would only hold the logout too.
        if (std::strcmp(oru::noted_failure(), kErrCapacityTimeout) != 0) end_session(ctx.release());
        return err;
    }
    h->iscsi = ctx.release();
    h->lun = lun;
    h->blocksize = static_cast<int>(block_length);
    h->num_blocks = last_lba;
    ZeroMeans means;
    try {
        // A timeout has given the session up already (h->iscsi is null).
        if (oruError err = zero_means(h, &means); err != ORU_OK) return err;
    } catch (const std::bad_alloc &) {
        release_session(h);
        return fail(kErrContext, ORU_ISCSI_OPEN);
    }
    h->write_same_blocks = static_cast<uint32_t>(means.most_blocks);
    h->unmap_zeroes = means.unmap ? 1 : 0;
    h->physical_exponent = static_cast<uint8_t>(means.physical_exponent);
    return ORU_OK;
}

oruError remote_iscsi_read(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h) return ORU_E_PARAMS;
    return transfer(h, offset, length, static_cast<uint8_t *>(buffer), false);
}

oruError remote_iscsi_write(oruDiskLibInHandle *h, uint64_t offset, uint64_t length, void *buffer) {
    if (!h) return ORU_E_PARAMS;
    return transfer(h, offset, length, static_cast<uint8_t *>(buffer), true);
}

// The LUKS header of an iSCSI volume is the first 1,052,672 bytes of its LUN.
oruError remote_iscsi_header_get(oruDiskLibInHandle *h, void *buffer) {
    return remote_iscsi_read(h, 0, kLuksHeaderBytes, buffer);
}

oruError remote_iscsi_header_set(oruDiskLibInHandle *h, void *buffer) {
    return remote_iscsi_write(h, 0, kLuksHeaderBytes, buffer);
}

oruError remote_iscsi_zero(oruDiskLibInHandle *h, uint64_t offset, uint64_t length) {
    if (!h) return ORU_E_PARAMS;
    try {
        return zero(h, offset, length);
    } catch (const std::bad_alloc &) {
        return ORU_E_MALLOC;
    }
}

oruError remote_iscsi_flush(oruDiskLibInHandle *h) {
    if (!h) return ORU_E_PARAMS;
    if (!h->iscsi || h->blocksize <= 0) return fail(kErrSync, ORU_ISCSI_WRITE);
    // A reader has nothing to make durable.
    if (open_access(h->open_flag) == ORU_RO) return ORU_OK;
    return synchronize(h);
}

// Safe after a failed attach and when called twice: only what is still held
// is released. The volume's log ends with the session. A write-back handle
// is flushed first; a failed flush is reported, and the session ends all
// the same (after a failed flush nothing tells what the target kept).
oruError remote_iscsi_close(oruDiskLibInHandle *h) {
    if (!h) return ORU_E_PARAMS;
    oruError flushed = ORU_OK;
    if (h->iscsi && is_writeback(h->open_flag)) flushed = remote_iscsi_flush(h);
    release_session(h);
    if (h->log) {
        fclose(h->log);
        h->log = nullptr;
    }
    return flushed;
}

namespace {

oruError iscsi_volume_info(oruDiskLibInHandle *h, DeviceInfo *info) {
    if (!h->iscsi || h->blocksize <= 0) {
        oru::set_slot(iscsierror, "iscsi failed to send Read10 command\n");
        return ORU_ISCSI_READ;
    }
    const auto block = static_cast<uint32_t>(h->blocksize);
    info->size = (h->num_blocks + 1) * static_cast<uint64_t>(block);
    info->min_block = block < 512 ? 512 : block;
    // As the attach learnt it: a physical block larger than the logical
    // one, and whether zeroing unmaps (FAST_ZERO: WRITE SAME with UNMAP; a
    // plain WRITE SAME has the target write every block).
    info->preferred_block = info->min_block << h->physical_exponent;
    info->flags = ORU_INFO_EXTENTS | ORU_INFO_CAN_FLUSH;
    if (h->unmap_zeroes) info->flags |= ORU_INFO_FAST_ZERO;
    if (open_access(h->open_flag) == ORU_RO) info->flags |= ORU_INFO_READ_ONLY;
    return ORU_OK;
}

} // namespace

const VolumeOps kIscsiVolumeOps = {
    .name = "iscsi",
    .read = remote_iscsi_read,
    .write = remote_iscsi_write,
    .zero = remote_iscsi_zero,
    .flush = remote_iscsi_flush,
    .extents = remote_iscsi_extents,
    .info = iscsi_volume_info,
    .header_get = remote_iscsi_header_get,
    .header_set = remote_iscsi_header_set,
    .close = remote_iscsi_close,
    .list_bitmaps = nullptr,
    .changed_extents = nullptr,
};
