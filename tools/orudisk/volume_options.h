// How a command names a volume: a local image file, or a remote volume of
// the platform reached through its management server. The fields map one to
// one onto oruDiskLib_Connect / oruDiskLib_Set_AK / oruDiskLib_Open.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace orudisk {

struct VolumeOptions {
    std::string path;      // local: image file; remote: the volume's path on its host
    std::string format;    // qcow2 | raw | luks; empty: detect (local images only)
    std::string uuid;      // volume UUID (remote: names the export and the log)
    std::string datastore; // data store holding the volume (remote)
    std::string transport; // nbd | lanfree | file; empty: the library's default
    std::string target_url;
    std::string initiator;
    bool remote = false;
    // Management server and credentials. Secrets come from files only, so
    // that they never show in the process list or the shell history.
    std::string server;
    std::string user;
    std::string password_file;
    std::string access_key_file;
    // Bytes of the volume to use, at most its size (which the library tells).
    std::optional<uint64_t> size;

    bool is_remote() const { return remote || !server.empty(); }
    // Short human name of the volume for messages.
    std::string describe() const;
};

// Adds the volume options to a subcommand, listed under `group` in its help.
void add_volume_options(CLI::App &command, VolumeOptions &options, const std::string &group);

// The first line of a secret file, without its line end. Throws CliError.
std::string read_secret_file(const std::string &path, const std::string &what);

// Checks the combination of options before anything is opened. Throws CliError.
void validate(const VolumeOptions &options);

} // namespace orudisk
