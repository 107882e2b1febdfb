// Per-volume logs and the clean-up of their directory.
#pragma once

#include <cstdio>

// The directory that holds one log per remotely opened volume.
inline constexpr const char kLogDir[] = "/var/log/tamb";

extern "C" int delete_log_file(char *logdir);

// Runs delete_log_file(kLogDir) under tamb_del_mutex, waiting at most
// 10 seconds for the lock; skipped silently when the wait fails.
void clean_log_dir_timed();
