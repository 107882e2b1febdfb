#include "export_config.h"

#include <nbdkit-plugin.h>

#include <oruDiskLib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "format_sniff.h"

namespace oru_nbdkit {

namespace {

const std::string kAccessKeyPrefix = "ORU ";

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};

// nbdkit may run as a daemon in "/": relative names are fixed now.
bool absolute(const char *value, std::string *out) {
    std::unique_ptr<char, FreeDeleter> path(nbdkit_absolute_path(value));
    if (!path) return false;
    *out = path.get();
    return true;
}

bool read_secret(const std::string &file, const char *what, std::string *secret) {
    std::ifstream in(file);
    if (!in) {
        nbdkit_error("cannot read the %s file %s", what, file.c_str());
        return false;
    }
    std::getline(in, *secret);
    while (!secret->empty() && (secret->back() == '\r' || secret->back() == ' '))
        secret->pop_back();
    if (secret->empty()) {
        nbdkit_error("the %s file %s is empty", what, file.c_str());
        return false;
    }
    return true;
}

int format_code(const std::string &name) {
    if (name == "qcow2") return ORU_QCOW;
    if (name == "raw") return ORU_RAW;
    if (name == "luks") return ORU_LUKS;
    return -1;
}

int complete_remote(ExportConfig &c) {
    if (!c.file.empty()) {
        nbdkit_error("file= names a local image; a remote volume is named by uuid= and path=");
        return -1;
    }
    if (c.access_key_file.empty() && (c.user.empty() || c.password_file.empty())) {
        nbdkit_error("a remote volume needs access-key-file=, or user= and password-file=");
        return -1;
    }
    if (c.uuid.empty()) {
        nbdkit_error("a remote volume needs uuid=");
        return -1;
    }
    if (c.format.empty()) {
        nbdkit_error("a remote volume needs format=");
        return -1;
    }
    if (!c.access_key_file.empty()) {
        if (!read_secret(c.access_key_file, "access key", &c.access_key)) return -1;
        // The library takes the key in its authorization form.
        if (c.access_key.rfind(kAccessKeyPrefix, 0) != 0)
            c.access_key = kAccessKeyPrefix + c.access_key;
    } else if (!read_secret(c.password_file, "password", &c.password)) {
        return -1;
    }
    c.format_code = format_code(c.format);
    return 0;
}

int complete_local(ExportConfig &c) {
    if (c.file.empty()) {
        nbdkit_error("no volume given: pass file=IMAGE, or server= with uuid= for a remote volume");
        return -1;
    }
    int found = ORU_RAW;
    std::string error;
    if (!sniff_format(c.file, &found, &error)) {
        nbdkit_error("%s", error.c_str());
        return -1;
    }
    if (c.format.empty()) {
        c.format_code = found;
    } else {
        c.format_code = format_code(c.format);
        // The qcow2 engine would take a raw file's bytes for a header.
        if (c.format_code == ORU_QCOW && found != ORU_QCOW) {
            nbdkit_error("%s is not a qcow2 image", c.file.c_str());
            return -1;
        }
    }
    return 0;
}

} // namespace

const char kConfigHelp[] =
    "file=<IMAGE>              Local image (qcow2, raw or LUKS) to serve.\n"
    "format=qcow2|raw|luks     Volume format (local: from the image's magic when absent).\n"
    "server=<ADDRESS>          Management server of a remote volume.\n"
    "user=<NAME>               Management server user.\n"
    "password-file=<FILE>      File holding the user's password.\n"
    "access-key-file=<FILE>    File holding an access key, instead of a password.\n"
    "uuid=<UUID>               Remote volume UUID.\n"
    "datastore=<ID>            Data store holding the remote volume.\n"
    "path=<PATH>               The remote volume's path on its host.\n"
    "transport=nbd|lanfree     Transport of a remote volume (default: lanfree).\n"
    "target-url=<URL>          iSCSI target URL (lanfree).\n"
    "initiator=<IQN>           iSCSI initiator name (lanfree).\n"
    "size=<BYTES>              Accepted and ignored: the volume's own size is served.";

ExportConfig &export_config() {
    static ExportConfig config;
    return config;
}

int config_key(const char *key, const char *value) {
    ExportConfig &c = export_config();
    const std::string k = key;
    if (k == "file") return absolute(value, &c.file) ? 0 : -1;
    if (k == "password-file") return absolute(value, &c.password_file) ? 0 : -1;
    if (k == "access-key-file") return absolute(value, &c.access_key_file) ? 0 : -1;
    if (k == "format") {
        if (format_code(value) < 0) {
            nbdkit_error("format=%s: expected qcow2, raw or luks", value);
            return -1;
        }
        c.format = value;
        return 0;
    }
    if (k == "transport") {
        if (std::strcmp(value, "nbd") != 0 && std::strcmp(value, "lanfree") != 0) {
            nbdkit_error("transport=%s: expected nbd or lanfree", value);
            return -1;
        }
        c.transport = value;
        return 0;
    }
    if (k == "size") {
        int64_t size = nbdkit_parse_size(value);
        if (size < 0) return -1;
        c.size = static_cast<uint64_t>(size);
        return 0;
    }
    if (k == "password" || k == "access-key") {
        nbdkit_error("%s= is not accepted: secrets come from %s-file= only", key, key);
        return -1;
    }
    std::string *text = k == "server"       ? &c.server
                        : k == "user"       ? &c.user
                        : k == "uuid"       ? &c.uuid
                        : k == "datastore"  ? &c.datastore
                        : k == "path"       ? &c.path
                        : k == "target-url" ? &c.target_url
                        : k == "initiator"  ? &c.initiator
                                            : nullptr;
    if (!text) {
        nbdkit_error("unknown parameter '%s'", key);
        return -1;
    }
    *text = value;
    return 0;
}

int config_complete() {
    ExportConfig &c = export_config();
    return c.remote() ? complete_remote(c) : complete_local(c);
}

void forget_secrets() {
    ExportConfig &c = export_config();
    for (std::string *secret : {&c.password, &c.access_key}) {
        std::fill(secret->begin(), secret->end(), '\0');
        secret->clear();
    }
}

} // namespace oru_nbdkit
