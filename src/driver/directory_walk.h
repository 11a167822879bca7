// The walk from a directory to the frame files it selects.
#ifndef QUENDIX_DRIVER_DIRECTORY_WALK_H
#define QUENDIX_DRIVER_DIRECTORY_WALK_H

// Converts every file in `dir` that matches `selector`, in listing order; with
// `recursive`, then walks every subdirectory the same way, depth first,
// never entering one directory twice. `end_block` goes to each conversion.
// Prints nothing of its own; an interrupt ends the run between files.
// Returns 0, or -1 when there was not the memory to start the walk, and
// nothing was converted.
int process_directory(const char* dir, const char* selector, bool recursive, int end_block);

#endif
