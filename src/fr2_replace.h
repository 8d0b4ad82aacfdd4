// A small file replaced whole, so that a crash at any moment leaves either
// the old one or the new one: the checkpoint, and the multi-node job's file
// that names the generation of its parts.
#pragma once

#include <stddef.h>

// Writes `len` bytes to PATH.tmp, syncs them, renames the file over PATH and
// syncs the folder. 0, or -1 with errno and *what naming the step that failed.
int fr2_replace_file(const char *path, const char *data, size_t len, const char **what);
