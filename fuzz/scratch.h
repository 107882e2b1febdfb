// A scratch directory on tmpfs (under /dev/shm, or $ORU_FUZZ_SCRATCH) for
// the image targets: every input is written there as a file, because the
// qcow2 engine reads images through descriptors and mappings, never from
// memory.
//
// The process works inside that directory, and the harness turns every '/'
// of a backing name into '_', so a hostile image can only name files inside
// it: never a device, a FIFO or somebody's disk. The directory also holds
// "base.qcow2", a small image with data that seed images use as backing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace oru::fuzz {

// Creates the directory (once per process) and enters it. Aborts when that
// fails: fuzzing without it would touch the caller's files.
const std::string &scratch_dir();

// Writes bytes to name inside the directory, with backing names confined as
// described above. Returns the file's full path.
std::string write_image(const char *name, const uint8_t *data, size_t size);

// A 64-bit FNV-1a hash: inputs pick their read offsets from it.
uint64_t input_hash(const uint8_t *data, size_t size);

} // namespace oru::fuzz
