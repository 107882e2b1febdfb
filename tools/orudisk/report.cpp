#include "report.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace orudisk {

void emit(const Output &out, const nlohmann::json &doc, const std::string &text) {
    if (out.json) std::cout << doc.dump(2) << std::endl;
    else std::cout << text << std::flush;
}

void emit_error(const Output &out, const std::string &message, const nlohmann::json &detail) {
    std::cerr << "orudisk: " << message << std::endl;
    if (out.json) {
        nlohmann::json doc = {{"error", detail}};
        doc["error"]["message"] = message;
        std::cout << doc.dump(2) << std::endl;
    }
}

std::string human_size(uint64_t bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

Progress::Progress(const Output &out, std::string label, uint64_t total)
    : enabled_(!out.json && !out.quiet && isatty(STDERR_FILENO)), label_(std::move(label)),
      total_(total), start_(std::chrono::steady_clock::now()), last_draw_(start_) {}

Progress::~Progress() {
    // An interrupted meter still leaves the terminal on a fresh line.
    if (enabled_ && !finished_) std::fputc('\n', stderr);
}

void Progress::advance(uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ < std::chrono::milliseconds(200)) return;
    last_draw_ = now;
    draw(false);
}

void Progress::finish() {
    if (finished_) return;
    finished_ = true;
    if (enabled_) draw(true);
}

void Progress::draw(bool final_line) {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    double percent = total_ ? 100.0 * static_cast<double>(done_) / static_cast<double>(total_) : 100.0;
    double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    std::fprintf(stderr, "\r%s: %s of %s (%.0f%%), %s/s   %s", label_.c_str(), human_size(done_).c_str(),
                 human_size(total_).c_str(), percent, human_size(static_cast<uint64_t>(rate)).c_str(),
                 final_line ? "\n" : "");
    std::fflush(stderr);
}

} // namespace orudisk
