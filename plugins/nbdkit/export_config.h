// The plugin's parameters: which volume the export serves and how to reach
// it. Set once while nbdkit reads its command line, read-only afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace oru_nbdkit {

struct ExportConfig {
    // Local volume: the image file (absolute: nbdkit may change directory).
    std::string file;
    std::string format; // qcow2 | raw | luks; empty: from the magic (local only)
    int format_code = -1;
    // Remote volume of the platform.
    std::string server, user, uuid, datastore, path, transport, target_url, initiator;
    std::string password_file, access_key_file;
    // Secrets come from files only, so that they never show in the process
    // list; read once at start, wiped at unload.
    std::string password, access_key;
    // size= of older command lines. The export serves the capacity the
    // library reports; a differing size= is only mentioned in the debug log.
    std::optional<uint64_t> size;

    bool remote() const { return !server.empty(); }
};

// The one configuration of this plugin instance.
ExportConfig &export_config();

// nbdkit's .config: stores one key=value. -1 (after nbdkit_error) on an
// unknown key or a bad value.
int config_key(const char *key, const char *value);

// nbdkit's .config_complete: checks the combination, reads the secrets,
// chooses the format of a local image given without format=.
int config_complete();

// Overwrites the secrets (nbdkit's .unload).
void forget_secrets();

extern const char kConfigHelp[];

} // namespace oru_nbdkit
