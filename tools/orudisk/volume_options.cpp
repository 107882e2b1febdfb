#include "volume_options.h"

#include <fstream>

#include "cli_error.h"

namespace orudisk {

std::string VolumeOptions::describe() const {
    if (!is_remote()) return path;
    std::string name = uuid.empty() ? path : uuid;
    return name + " on " + (server.empty() ? std::string("the platform") : server);
}

void add_volume_options(CLI::App &command, VolumeOptions &o, const std::string &group) {
    command.add_option("--path,path", o.path,
                       "Image file (local), or the volume's path on its host (remote)")
        ->group(group);
    command.add_option("--format", o.format, "Volume format (default for local images: detected)")
        ->check(CLI::IsMember({"qcow2", "raw", "luks"}))
        ->group(group);
    command.add_flag("--remote", o.remote, "The volume is a remote volume of the platform")->group(group);
    command.add_option("--server", o.server, "Management server address (implies --remote)")->group(group);
    command.add_option("--user", o.user, "Management server user")->group(group);
    command.add_option("--password-file", o.password_file, "File holding the user's password")
        ->check(CLI::ExistingFile)
        ->group(group);
    command.add_option("--access-key-file", o.access_key_file,
                       "File holding an access key \"<id>:<secret>\" (or \"ORU <id>:<secret>\"), instead of a password")
        ->check(CLI::ExistingFile)
        ->group(group);
    command.add_option("--uuid", o.uuid, "Volume UUID")->group(group);
    command.add_option("--datastore", o.datastore, "Data store holding the volume")->group(group);
    command.add_option("--transport", o.transport, "Transport of a remote volume")
        ->check(CLI::IsMember({"nbd", "lanfree", "file"}))
        ->group(group);
    command.add_option("--target-url", o.target_url, "iSCSI target URL (lanfree)")->group(group);
    command.add_option("--initiator", o.initiator, "iSCSI initiator name (lanfree)")->group(group);
    command.add_option("--size", o.size, "Use only this many bytes of the volume (default: all it has)")
        ->transform(CLI::AsSizeValue(false))
        ->group(group);
}

std::string read_secret_file(const std::string &path, const std::string &what) {
    std::ifstream in(path);
    if (!in) throw cannot_open(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) throw CliError("the " + what + " file " + path + " is empty");
    return line;
}

void validate(const VolumeOptions &o) {
    if (o.is_remote()) {
        if (o.server.empty()) throw CliError("a remote volume needs --server");
        if (o.access_key_file.empty() && (o.user.empty() || o.password_file.empty()))
            throw CliError("a remote volume needs --access-key-file, or --user and --password-file");
        if (o.uuid.empty()) throw CliError("a remote volume needs --uuid");
        if (o.format.empty()) throw CliError("a remote volume needs --format");
    } else if (o.path.empty()) {
        throw CliError("no volume given: pass an image path (or --remote with --server ...)");
    }
}

} // namespace orudisk
