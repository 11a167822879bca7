// One file's conversion as the run sees it: the input and its two outputs
// by name, the rules that keep every existing file safe, and the messages.
#ifndef QUENDIX_DRIVER_FILE_CONVERSION_H
#define QUENDIX_DRIVER_FILE_CONVERSION_H

#include "outcome.h"
#include "output_files.h"
#include "platform.h"
#include "run_resources.h"

#include <string>

// Converts the frame file `name` in `dir`, whose path is `dir_path`, into
// its CSV and log files beside it, echoing the report on standard output
// and working with `resources`. `outputs` holds the outputs the run has
// made in `dir`, which are never written twice; the two of this file are
// added to it. The outputs are written under temporary names and renamed
// into place only when both are whole. Returns RUN_DONE when the input was
// read to its end and both outputs were written and put in place,
// RUN_FAILED otherwise, the message printed either way; a conversion that
// cannot get the memory it needs is reported as not opened. An interrupt
// before the file's last message removes its temporary files, says so and
// returns RUN_INTERRUPTED.
run_outcome convert_file(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
                         output_set* outputs, run_resources* resources);

#endif
