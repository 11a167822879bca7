// The walk from a directory to the frame files it selects.
#ifndef QUENDIX_DRIVER_DIRECTORY_WALK_H
#define QUENDIX_DRIVER_DIRECTORY_WALK_H

#include "outcome.h"
#include "run_resources.h"

// Converts every file in `dir` that matches `selector`, in listing order,
// with `resources`; with `recursive`, then walks every subdirectory the
// same way, depth first, never entering one directory twice. `end_block`
// goes to each conversion. Prints nothing of its own. Returns RUN_DONE;
// RUN_FAILED when there was not the memory to start the walk, and nothing
// was converted; RUN_INTERRUPTED when an interrupt has ended the walk,
// between files or in one whose temporary files are removed.
run_outcome process_directory(const char* dir, const char* selector, bool recursive, int end_block,
                              run_resources* resources);

#endif
