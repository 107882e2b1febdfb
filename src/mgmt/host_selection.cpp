// Host selection: find the least-loaded host that has the volume's data store
// mounted, pick the address the NBD connection will use, record the open mode
// and have the host agent export the volume. On success the handle owns the
// export's address (ip) and port texts.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/last_error.h"
#include "core/export.h"
#include "core/handle.h"
#include "https_post.h"
#include "mgmt/mgmt.h"
#include "mgmt/replies.h"
#include "util/json.h"

namespace {

constexpr int kAgentPort = 9753;
constexpr const char *kAgentPath = "/vm";
constexpr int kSessionExpiredCode = 107001;
// Loads are percentages: a host at 100 or more is never chosen.
constexpr double kNoLoadBound = 100.0;
// Every reply lands in one buffer; a request may fill all but its last byte,
// so the text stays terminated.
constexpr size_t kReplyBufferSize = 65536;

using oru::mgmt::ChosenHost;

class SelectionRun {
  public:
    SelectionRun(oruDiskLibInHandle *h, oruDiskLibInConnection *conn, const oruDiskLibVolume *v,
                 char *open_flag)
        : h_(h), conn_(conn), volume_(v), open_flag_(open_flag), reply_(kReplyBufferSize) {}

    oruError run();

  private:
    char *reply() { return reply_.data(); }
    void clear_reply() { std::fill(reply_.begin(), reply_.end(), '\0'); }
    void log(const std::string &first, const char *second) {
        oruDiskLib_Log(h_->log, const_cast<char *>(first.c_str()), const_cast<char *>(second));
    }
    // A failed request, and why when its code cannot say it (timed out).
    void log_failure(const std::string &first, const char *second) {
        log(first, second);
        if (!oru::mgmt::exchange_failure().empty())
            log(first, oru::mgmt::exchange_failure().c_str());
    }
    int management_get(std::string &path) {
        clear_reply();
        return https_get(conn_->ip, kManagementPort, path.data(), conn_->sessionid, reply(),
                         static_cast<int>(kReplyBufferSize - 1));
    }

    oruError choose_host(ChosenHost *chosen);
    oruError choose_data_address(const ChosenHost &chosen, std::string *address);
    oruError prepare_export(const ChosenHost &chosen);

    oruDiskLibInHandle *h_;
    oruDiskLibInConnection *conn_;
    const oruDiskLibVolume *volume_;
    char *open_flag_;
    std::vector<char> reply_;
};

// Replaces a text that the handle owns.
void store_text(char **slot, const std::string &value) {
    char *copy = strdup(value.c_str());
    if (!copy) throw std::bad_alloc();
    free(*slot);
    *slot = copy;
}

const char *format_word(int disk_format) {
    switch (disk_format) {
    case ORU_QCOW: return "qcow2";
    case ORU_RAW:
    case ORU_LUKS: return "raw";
    default: return nullptr;
    }
}

oruError SelectionRun::choose_host(ChosenHost *chosen) {
    std::string path = std::string("/storages/") + volume_->dataStoreid + "/hosts?type=available";
    int rc = management_get(path);
    if (rc != ORU_OK) {
        log_failure(path, "https_get failed");
        return static_cast<oruError>(rc);
    }
    log(path, reply());
    oru::json::Document doc = oru::json::parse(reply());
    if (!doc) {
        log(path, "cJSON_Parse failed");
        return ORU_E_GET;
    }
    if (oru::mgmt::is_error_reply(reply())) {
        auto code = oru::json::number_member(doc.get(), "code");
        return code && *code == kSessionExpiredCode ? ORU_E_TIMEOUT : ORU_E_GET;
    }
    return oru::mgmt::least_loaded_host(doc.get(), chosen) ? ORU_OK : ORU_E_GET;
}

// The backup network carries the data when the host has an address there that
// answers ping; otherwise the host's own address does.
oruError SelectionRun::choose_data_address(const ChosenHost &chosen, std::string *address) {
    std::string path = "/hosts/" + chosen.id + "/networks?type=usetypenetwork&useTypes=backup";
    int rc = management_get(path);
    if (rc != ORU_OK) {
        log_failure(path, "https_get failed");
        return static_cast<oruError>(rc);
    }
    log(path, reply());
    *address = chosen.address;
    if (oru::mgmt::is_error_reply(reply()) || std::strlen(reply()) < 3) return ORU_OK;
    oru::json::Document doc = oru::json::parse(reply());
    if (!doc) {
        log(path, "cJSON_Parse failed");
        return ORU_E_GET;
    }
    std::optional<std::string> candidate = oru::mgmt::backup_network_address(doc.get());
    if (!candidate) return ORU_OK;
    if (oruDiskLib_ping(candidate->data()) >= 0) *address = *candidate;
    return ORU_OK;
}

oruError SelectionRun::prepare_export(const ChosenHost &chosen) {
    // Values are escaped so a path cannot change the request; ordinary
    // values come out unchanged. The spacing is what the agents expect.
    std::string body = std::string("{\"action\": \"pre_remote_rw\", \"param\": {\"diskPath\": \"") +
                       oru::json::escape(volume_->diskPath) + "\", \"format\": \"" +
                       format_word(volume_->diskFormat) + "\", \"openFlag\": \"" +
                       oru::json::escape(open_flag_) + "\",\"volumeUuid\":\"" +
                       oru::json::escape(volume_->volumeUuid) + "\"}}";
    // The agent is always asked on the host's own address.
    std::string agent = chosen.address;
    clear_reply();
    int rc = http_post(agent.data(), kAgentPort, const_cast<char *>(kAgentPath), body.data(),
                       nullptr, reply(), static_cast<int>(kReplyBufferSize));
    log(kAgentPath, reply());
    log("selectHostIp", chosen.address.c_str());
    if (rc != ORU_OK) {
        log_failure(kAgentPath, "http_post failed");
        return static_cast<oruError>(rc);
    }
    oru::json::Document doc = oru::json::parse(reply());
    if (!doc) {
        log(kAgentPath, "cJSON_Parse failed");
        return ORU_E_NBD_EXPORT;
    }
    std::string port;
    if (!oru::mgmt::export_port(doc.get(), &port)) return ORU_E_NBD_EXPORT;
    store_text(&h_->port, port);
    return ORU_OK;
}

oruError SelectionRun::run() {
    ChosenHost chosen;
    oruError rc = choose_host(&chosen);
    if (rc != ORU_OK) return rc;
    std::string address;
    rc = choose_data_address(chosen, &address);
    if (rc != ORU_OK) return rc;
    store_text(&h_->ip, address);
    oru::mgmt::clear_exchange_failure();
    if (setOpenMode(volume_->volumeUuid, open_flag_, conn_->ip, conn_->sessionid) == -1) {
        if (!oru::mgmt::exchange_failure().empty())
            log("setOpenMode", oru::mgmt::exchange_failure().c_str());
        return ORU_E_USING;
    }
    return prepare_export(chosen);
}

} // namespace

namespace oru::mgmt {

namespace {

bool is_port_text(const char *text) {
    size_t length = std::strlen(text);
    if (length == 0 || length > 5) return false;
    unsigned value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<unsigned>(*c - '0');
    }
    return value >= 1 && value <= 65535;
}

} // namespace

bool least_loaded_host(const cJSON *listing, ChosenHost *chosen) {
    double lowest_load = kNoLoadBound;
    bool found = false;
    const cJSON *items = oru::json::array_member(listing, "items");
    const int count = items ? cJSON_GetArraySize(items) : 0;
    for (int i = 0; i < count; ++i) {
        const cJSON *host = cJSON_GetArrayItem(items, i);
        auto load = oru::json::number_member(host, "cpuUsage");
        const char *status = oru::json::string_member(host, "status");
        const char *mount = oru::json::string_member(host, "monMountState");
        const char *name = oru::json::string_member(host, "name");
        const char *id = oru::json::string_member(host, "id");
        // A host that lacks any of these is not a candidate.
        if (!load || !status || !mount || !name || !id) continue;
        if (*load < lowest_load && std::strcmp(status, "CONNECTED") == 0 &&
            std::strcmp(mount, "MOUNTED") == 0) {
            lowest_load = *load;
            chosen->address = name;
            chosen->id = id;
            found = true;
        }
    }
    return found;
}

std::optional<std::string> backup_network_address(const cJSON *networks) {
    const cJSON *network = cJSON_IsArray(networks) ? cJSON_GetArrayItem(networks, 0) : nullptr;
    const cJSON *ports = oru::json::array_member(network, "portDtos");
    if (!ports || cJSON_GetArraySize(ports) == 0) return std::nullopt;
    const char *backup_ip = oru::json::string_member(cJSON_GetArrayItem(ports, 0), "ip");
    if (!backup_ip) return std::nullopt;
    return std::string(backup_ip);
}

bool export_port(const cJSON *reply, std::string *port) {
    const cJSON *member = oru::json::member(reply, "serverPort");
    if (cJSON_IsString(member)) {
        const char *text = cJSON_GetStringValue(member);
        // "null" (no export) and anything else that is not a decimal port:
        // the text reaches the NBD connect as a service, where an empty
        // text or a service name would mean some other port.
        if (!text || !is_port_text(text)) return false;
        *port = text;
        return true;
    }
    if (cJSON_IsNumber(member)) {
        double value = cJSON_GetNumberValue(member);
        if (value < 1 || value > 65535) return false;
        *port = std::to_string(static_cast<long>(value));
        return true;
    }
    return false;
}

} // namespace oru::mgmt

ORU_EXPORT oruError oruDiskLib_SelectHost(oruDiskLibHandle Handle, oruDiskLibConnection connection,
                                          const oruDiskLibVolume *volume, char *openFlag) {
    return oru::api_call([&]() -> oruError {
        oruDiskLibInHandle *h = in_handle(Handle);
        oruDiskLibInConnection *conn = in_connection(connection);
        if (!h || !conn || !conn->ip || !volume || !openFlag) return ORU_E_PARAMS;
        if (!volume->dataStoreid || !volume->volumeUuid || !volume->diskPath) return ORU_E_PARAMS;
        // Checked before any request: no format word means nothing to export.
        if (!format_word(volume->diskFormat)) return ORU_E_PARAMS;
        try {
            return SelectionRun(h, conn, volume, openFlag).run();
        } catch (...) {
            return ORU_E_MALLOC;
        }
    });
}
