#include "util/json.h"

#include <cstdio>

namespace oru::json {

Document parse(const char *text) {
    if (!text) return Document();
    return Document(cJSON_Parse(text));
}

const cJSON *member(const cJSON *object, const char *name) {
    if (!object || !name || !cJSON_IsObject(object)) return nullptr;
    return cJSON_GetObjectItem(object, name);
}

const char *string_member(const cJSON *object, const char *name) {
    const cJSON *item = member(object, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

std::optional<double> number_member(const cJSON *object, const char *name) {
    const cJSON *item = member(object, name);
    if (!cJSON_IsNumber(item)) return std::nullopt;
    return item->valuedouble;
}

const cJSON *array_member(const cJSON *object, const char *name) {
    const cJSON *item = member(object, name);
    return cJSON_IsArray(item) ? item : nullptr;
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x", byte);
                out += code;
            } else {
                out += c;
            }
        }
    }
    return out;
}

} // namespace oru::json
