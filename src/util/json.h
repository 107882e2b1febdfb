// Owning cJSON trees and the member lookups every management reply needs.
// Member names match without regard to letter case; the first member of a
// name counts (cJSON_GetObjectItem's rules).
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace oru::json {

struct Deleter {
    void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};

// Owns a parsed tree; empty when the text was not JSON.
using Document = std::unique_ptr<cJSON, Deleter>;

// Parses text (NULL gives an empty Document).
Document parse(const char *text);

// The member named name of object, or NULL when object is not an object or
// has no such member.
const cJSON *member(const cJSON *object, const char *name);

// The string value of the member, or NULL when absent or not a string.
const char *string_member(const cJSON *object, const char *name);

// The numeric value of the member, or nothing when absent or not a number.
std::optional<double> number_member(const cJSON *object, const char *name);

// The member when it is an array, else NULL.
const cJSON *array_member(const cJSON *object, const char *name);

// text escaped for use inside a JSON string literal: double quote, backslash
// and control characters are escaped; every other byte is kept as it is, so
// ordinary values come out unchanged.
std::string escape(std::string_view text);

} // namespace oru::json
