// Extent maps reduced to what a copy relies on: runs of (start, length,
// reads as zeros), neighbours of one kind joined, from the JSON of
// `qemu-img map --output=json` or `orudisk map --json`.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace oru::test {

using ZeroMap = std::vector<std::tuple<uint64_t, uint64_t, bool>>;

// qemu says "zero" for ranges it knows read as zeros and "data": false for
// unallocated ones without backing, which read as zeros too.
inline ZeroMap zero_map(const nlohmann::json &list) {
    ZeroMap runs;
    for (const auto &e : list) {
        bool zero = e.value("zero", false) || !e.value("data", true);
        uint64_t start = e["start"], length = e["length"];
        if (!runs.empty() && std::get<2>(runs.back()) == zero &&
            std::get<0>(runs.back()) + std::get<1>(runs.back()) == start)
            std::get<1>(runs.back()) += length;
        else
            runs.emplace_back(start, length, zero);
    }
    return runs;
}

// `qemu-img map` of an image; format_option e.g. "-f raw".
inline ZeroMap qemu_map(const std::string &image, const std::string &format_option = "") {
    auto r = run("qemu-img map --output=json " + format_option + " " + quote(image));
    if (r.status != 0) return {};
    return zero_map(nlohmann::json::parse(r.out));
}

} // namespace oru::test
