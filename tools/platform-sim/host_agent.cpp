#include "host_agent.h"
#include "image_bitmaps.h"

#include "fault_script.h"
#include "management_service.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>

namespace oru::sim {
namespace {

using json = nlohmann::ordered_json;

HttpReply no_export(int status, const std::string &why) {
    return {status, json{{"serverPort", "null"}, {"message", why}}.dump(), false, why};
}

std::string text_of(const json &object, const char *name) {
    auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

HttpReply HostAgent::handle(const HttpRequest &request) {
    if (request.method != "POST" || request.path() != "/vm")
        return {404, error_body(kNotFound, "no such request: " + request.method + " " + request.path()), false, {}};
    json body = json::parse(request.body, nullptr, false);
    if (!body.is_object()) return no_export(400, "request body is not valid JSON");
    if (text_of(body, "action") != "pre_remote_rw")
        return no_export(400, "unknown action: " + text_of(body, "action"));
    auto param = body.find("param");
    if (param == body.end() || !param->is_object()) return no_export(400, "\"param\" must be an object");
    std::string disk_path = text_of(*param, "diskPath"), format = text_of(*param, "format");
    std::string open_flag = text_of(*param, "openFlag"), uuid = text_of(*param, "volumeUuid");
    if (uuid.empty()) return no_export(400, "\"volumeUuid\" is missing");

    ExportRequest wanted;
    // LUKS volumes are exported as their raw bytes; the client handles the header.
    if (format == "qcow2")
        wanted.format = "qcow2";
    else if (format == "raw" || format == "luks")
        wanted.format = "raw";
    else
        return no_export(400, "unsupported format: " + format);
    if (open_flag != "r" && open_flag != "rw") return no_export(400, "openFlag must be \"r\" or \"rw\"");
    wanted.read_only = open_flag == "r";

    const Volume *volume = config_.volume_by_uuid(uuid);
    if (volume && !volume->data_store.empty()) {
        const auto &stores = host_.data_stores;
        if (std::find(stores.begin(), stores.end(), volume->data_store) == stores.end() ||
            host_.mount_state != "MOUNTED")
            return no_export(409, "data store " + volume->data_store + " is not mounted on " + host_.id);
    }
    // A configured image stands for the platform's path; otherwise the path
    // the client sent is exported as it is.
    if (volume && !volume->image.empty())
        wanted.image = volume->image[0] == '/' ? volume->image : config_.image_dir + "/" + volume->image;
    else
        wanted.image = disk_path;
    if (wanted.image.empty()) return no_export(400, "\"diskPath\" is missing");
    if (access(wanted.image.c_str(), wanted.read_only ? R_OK : R_OK | W_OK) != 0)
        return no_export(404, "image not accessible: " + wanted.image);

    // The platform's agent exports the volume's change-tracking bitmaps when
    // it keeps them: those named, or every one the qcow2 image holds.
    if (volume && volume->all_bitmaps && wanted.format == "qcow2") {
        std::string why;
        auto names = image_bitmaps(wanted.image, why);
        if (!names) return no_export(500, why);
        wanted.bitmaps = std::move(*names);
    } else if (volume && wanted.format == "qcow2") {
        wanted.bitmaps = volume->bitmaps;
    }
    wanted.host_id = host_.id;
    wanted.host_address = host_.address;
    wanted.backup_address = host_.backup_address;
    wanted.volume_uuid = uuid;
    std::string why;
    auto port = exports_.start(wanted, why);
    if (!port) return no_export(500, why);
    return {200, json{{"serverPort", std::to_string(*port)}}.dump(), false, "exported " + wanted.image};
}

} // namespace oru::sim
