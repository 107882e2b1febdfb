// orudisk: create, inspect, back up and restore virtual disks through
// oruDiskLib's public API.
#include <oruDiskLib.h>

#include <CLI/CLI.hpp>

#include <exception>
#include <string>

#include "cli_error.h"
#include "commands.h"
#include "report.h"

int main(int argc, char **argv) {
    using namespace orudisk;
    CLI::App app{"orudisk: create, inspect, back up and restore virtual disks (oruDiskLib " +
                 std::string(oruDiskLib_GetVersion()) + ")"};
    app.require_subcommand(1);
    app.fallthrough(); // --json and --quiet may follow the subcommand
    Output out;
    app.add_flag("--json", out.json, "Print the result as one JSON document");
    app.add_flag("-q,--quiet", out.quiet, "No progress meter");
    app.footer("Environment (remote volumes):\n"
               "  ORU_NET_TIMEOUT   seconds any one network step may wait (1-3600, default 60)\n"
               "  ORU_TASK_TIMEOUT  seconds a platform task is followed (default 600)\n"
               "  ORU_TLS_CA_FILE   PEM file of roots: verify the management server's certificate\n"
               "  ORU_TLS_VERIFY=1  verify it against the system's trust store\n"
               "  Without the last two, certificates are not verified.");
    app.set_version_flag("--version", "orudisk with oruDiskLib " + std::string(oruDiskLib_GetVersion()));
    add_create_command(app, out);
    add_info_command(app, out);
    add_bitmap_command(app, out);
    add_copy_command(app, out);
    add_restore_command(app, out);
    add_map_command(app, out);
    add_bitmaps_command(app, out);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    } catch (const CliError &e) {
        nlohmann::json detail = nlohmann::json::object();
        if (e.code()) {
            detail["code"] = static_cast<int>(*e.code());
            detail["name"] = error_name(*e.code());
            detail["text"] = error_text(*e.code());
        }
        emit_error(out, e.what(), detail);
        return 1;
    } catch (const std::exception &e) {
        emit_error(out, e.what(), nlohmann::json::object());
        return 1;
    }
    return 0;
}
