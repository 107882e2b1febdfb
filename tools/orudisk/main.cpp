// orudisk: create, inspect, back up and restore virtual disks through
// oruDiskLib's public API.
#include <oruDiskLib.h>

#include <CLI/CLI.hpp>

#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "cli_error.h"
#include "commands.h"
#include "report.h"

namespace {

void report_failure(const orudisk::Output &out, const orudisk::CliError &e) {
    nlohmann::json detail = nlohmann::json::object();
    if (e.code()) {
        detail["code"] = static_cast<int>(*e.code());
        detail["name"] = orudisk::error_name(*e.code());
        if (!e.library_text().empty()) detail["text"] = e.library_text();
    }
    orudisk::emit_error(out, e.what(), detail);
}

} // namespace

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
        // --help and --version end the parse too, successfully.
        if (e.get_exit_code() == 0) return app.exit(e);
        report_failure(out, CliError(e.what()));
        std::cerr << "Run with --help for more information." << std::endl;
        return e.get_exit_code();
    } catch (const CliError &e) {
        report_failure(out, e);
        return 1;
    } catch (const std::bad_alloc &) {
        report_failure(out, CliError::found(ORU_E_MALLOC, "out of memory"));
        return 1;
    } catch (const std::exception &e) {
        // std::filesystem errors carry the OS's reason in their text already.
        report_failure(out, CliError::found(ORU_E_FAIL, e.what()));
        return 1;
    }
    return 0;
}
