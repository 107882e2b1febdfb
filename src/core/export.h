// Marks a definition as part of the library's ABI. The version script
// (oruDiskLib.map) is the authority on what is exported; this only keeps
// -fvisibility=hidden from hiding what the script lists.
#pragma once

#define ORU_EXPORT extern "C" __attribute__((visibility("default")))
// For exported data, whose declarations already carry extern "C".
#define ORU_EXPORT_DATA __attribute__((visibility("default")))
