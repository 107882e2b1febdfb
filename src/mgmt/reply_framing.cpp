// Where an HTTP reply ends. Servers keep connections open after a reply
// (our requests even ask for it) and send bodies chunked when they do not
// know the length, so the readers cannot wait for the close: they feed the
// bytes here as they arrive and stop as soon as the reply is complete.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "mgmt/replies.h"

namespace oru::mgmt {

namespace {

// Longest head or chunk line that is still interpreted; longer ones are
// passed over (heads) or end the reply (chunk sizes), so that a peer cannot
// make the reader hold an unbounded line.
constexpr size_t kMaxLine = 8192;
// Hex digits of a chunk size beyond which it cannot be a real size.
constexpr size_t kMaxChunkDigits = 15;

bool is_line_break(char byte) {
    return byte == '\r' || byte == '\n';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool is_named(std::string_view line, std::string_view name, std::string_view *value) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    if (strncasecmp(line.data(), name.data(), name.size()) != 0) return false;
    *value = trimmed(line.substr(name.size() + 1));
    return true;
}

} // namespace

ReplyFramer::ReplyFramer(char *out, size_t room, Keep keep) : out_(out), room_(room), keep_(keep) {
    if (!out_) room_ = 0;
}

bool ReplyFramer::store(const char *data, size_t size) {
    size_t fits = std::min(size, room_ - stored_);
    if (fits > 0) std::memcpy(out_ + stored_, data, fits);
    stored_ += fits;
    if (stored_ == room_) phase_ = Phase::Done;
    return phase_ != Phase::Done;
}

void ReplyFramer::interpret_head_line() {
    std::string_view line = trimmed(line_);
    if (!line_overflow_) {
        if (first_line_) {
            // "HTTP/1.1 204 No Content": only the code matters here.
            if (line.size() >= 12 && line.substr(0, 5) == "HTTP/" && line[8] == ' ' &&
                std::isdigit(static_cast<unsigned char>(line[9])) &&
                std::isdigit(static_cast<unsigned char>(line[10])) &&
                std::isdigit(static_cast<unsigned char>(line[11])))
                status_ = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
        } else {
            std::string_view value;
            if (is_named(line, "Transfer-Encoding", &value)) {
                // The last coding decides how the body is framed.
                size_t comma = value.rfind(',');
                std::string_view last =
                    trimmed(comma == std::string_view::npos ? value : value.substr(comma + 1));
                has_transfer_coding_ = true;
                chunked_ = last.size() == 7 && strncasecmp(last.data(), "chunked", 7) == 0;
            } else if (!has_length_ && is_named(line, "Content-Length", &value) && !value.empty() &&
                       value.size() <= 18 && std::all_of(value.begin(), value.end(), [](char ch) {
                           return std::isdigit(static_cast<unsigned char>(ch));
                       })) {
                has_length_ = true;
                remaining_ = std::stoull(std::string(value));
            }
        }
    }
    first_line_ = false;
    line_.clear();
    line_overflow_ = false;
}

void ReplyFramer::end_head() {
    if (!line_.empty() || line_overflow_) interpret_head_line();
    run_ = 0;
    blank_in_run_ = false;
    lf_in_run_ = false;
    if (status_ >= 100 && status_ < 200) {
        // An interim reply: the real one follows with a head of its own.
        status_ = 0;
        first_line_ = true;
        has_length_ = chunked_ = has_transfer_coding_ = false;
        return;
    }
    if (status_ == 204 || status_ == 304) {
        phase_ = Phase::Done;
    } else if (chunked_) {
        phase_ = Phase::Chunked;
        chunk_step_ = ChunkStep::Size;
    } else if (has_transfer_coding_ || !has_length_) {
        phase_ = Phase::UntilClose;
    } else {
        phase_ = remaining_ == 0 ? Phase::Done : Phase::Length;
    }
    if (stored_ == room_) phase_ = Phase::Done;
}

// The head ends after four line-break bytes in a row in any mix (what
// servers that end lines in CR or LF alone still send), or at the first
// other byte after a blank line.
size_t ReplyFramer::feed_head(const char *data, size_t size) {
    size_t used = 0;
    while (used < size && phase_ == Phase::Head) {
        char byte = data[used];
        if (!is_line_break(byte) && blank_in_run_) {
            end_head();
            break;
        }
        ++used;
        if (keep_ == Keep::HeadAndBody && !store(&byte, 1)) return used;
        if (is_line_break(byte)) {
            if (byte == '\n') {
                blank_in_run_ = blank_in_run_ || lf_in_run_;
                lf_in_run_ = true;
                interpret_head_line();
            }
            if (++run_ == 4) end_head();
            continue;
        }
        run_ = 0;
        lf_in_run_ = false;
        if (line_.size() < kMaxLine)
            line_.push_back(byte);
        else
            line_overflow_ = true;
    }
    return used;
}

// A chunk-size line: hex digits, then extensions after ';' that mean
// nothing to us. Returns false when the line is no size at all.
bool ReplyFramer::take_chunk_size() {
    std::string_view line = trimmed(line_);
    size_t digits = 0;
    uint64_t size = 0;
    while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
        char ch = static_cast<char>(std::tolower(static_cast<unsigned char>(line[digits])));
        size = size * 16 + static_cast<uint64_t>(ch <= '9' ? ch - '0' : ch - 'a' + 10);
        ++digits;
    }
    if (digits == 0 || digits > kMaxChunkDigits || line_overflow_) return false;
    std::string_view rest = trimmed(line.substr(digits));
    if (!rest.empty() && rest.front() != ';') return false;
    remaining_ = size;
    return true;
}

size_t ReplyFramer::feed_chunked(const char *data, size_t size) {
    size_t used = 0;
    while (used < size && phase_ == Phase::Chunked) {
        if (chunk_step_ == ChunkStep::Data) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, size - used));
            remaining_ -= n;
            bool more = store(data + used, n);
            used += n;
            if (!more) break;
            if (remaining_ == 0) chunk_step_ = ChunkStep::DataEnd;
            continue;
        }
        char byte = data[used++];
        if (chunk_step_ == ChunkStep::DataEnd) {
            // The CR LF after a chunk's data.
            if (byte == '\n')
                chunk_step_ = ChunkStep::Size;
            else if (byte != '\r')
                phase_ = Phase::Done; // malformed: keep what came
            continue;
        }
        if (byte != '\n') {
            if (line_.size() < kMaxLine)
                line_.push_back(byte);
            else
                line_overflow_ = true;
            continue;
        }
        if (chunk_step_ == ChunkStep::Size) {
            if (!take_chunk_size()) {
                phase_ = Phase::Done;
            } else {
                chunk_step_ = remaining_ == 0 ? ChunkStep::Trailer : ChunkStep::Data;
            }
        } else if (trimmed(line_).empty() && !line_overflow_) {
            phase_ = Phase::Done; // the blank line after the trailers
        }
        line_.clear();
        line_overflow_ = false;
    }
    return used;
}

size_t ReplyFramer::feed(const char *data, size_t size) {
    size_t used = 0;
    while (used < size && phase_ != Phase::Done) {
        const char *next = data + used;
        size_t left = size - used;
        switch (phase_) {
        case Phase::Head:
            used += feed_head(next, left);
            break;
        case Phase::Chunked:
            used += feed_chunked(next, left);
            break;
        case Phase::Length: {
            size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, left));
            remaining_ -= n;
            used += n;
            if (store(next, n) && remaining_ == 0) phase_ = Phase::Done;
            break;
        }
        case Phase::UntilClose:
            used += left;
            store(next, left);
            break;
        case Phase::Done:
            break;
        }
    }
    return used;
}

} // namespace oru::mgmt
