// The subcommands of orudisk. Each adds itself to the application and runs
// from its CLI11 callback; failures are thrown as CliError.
#pragma once

#include <CLI/CLI.hpp>

#include "report.h"

namespace orudisk {

void add_create_command(CLI::App &app, const Output &out);
void add_info_command(CLI::App &app, const Output &out);
void add_bitmap_command(CLI::App &app, const Output &out);
void add_copy_command(CLI::App &app, const Output &out);
void add_restore_command(CLI::App &app, const Output &out);
void add_map_command(CLI::App &app, const Output &out);
void add_bitmaps_command(CLI::App &app, const Output &out);

} // namespace orudisk
