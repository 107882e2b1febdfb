// What orudisk prints: one result per command, as text for people or as one
// JSON document for scripts (--json); progress of long transfers on a
// terminal.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>

namespace orudisk {

struct Output {
    bool json = false;
    bool quiet = false; // no progress meter
};

// Prints `doc` (JSON mode) or `text` (otherwise) on standard output.
void emit(const Output &out, const nlohmann::json &doc, const std::string &text);

// Prints a failure: always on standard error, and in JSON mode also as
// {"error": {...}} on standard output so that scripts see it.
void emit_error(const Output &out, const std::string &message, const nlohmann::json &detail);

// "1.5 GiB", "512 KiB", "300 B".
std::string human_size(uint64_t bytes);

// A one-line meter on standard error, redrawn at most a few times a second,
// shown only when standard error is a terminal and the output is for people.
class Progress {
  public:
    Progress(const Output &out, std::string label, uint64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void advance(uint64_t bytes);
    void finish();

  private:
    void draw(bool final_line);

    bool enabled_;
    std::string label_;
    uint64_t total_, done_ = 0;
    std::chrono::steady_clock::time_point start_, last_draw_;
    bool finished_ = false;
};

} // namespace orudisk
