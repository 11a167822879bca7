// One file's conversion as the run sees it: the input and its two outputs
// by name, the rules that keep every existing file safe, and the messages.
#ifndef QUENDIX_DRIVER_FILE_CONVERSION_H
#define QUENDIX_DRIVER_FILE_CONVERSION_H

#include "driver/platform.h"

#include <string>

// The name of an output beside `path`: its last four bytes replaced by
// `extension` (".csv" or ".log"), or the extension appended when the file
// name after the last separator is shorter than four bytes.
std::string output_name(const std::string& path, const char* extension);

// Converts the frame file `name` in `dir`, shown as `path`, into its CSV and
// log files beside it, echoing the report on standard output. `outputs`
// holds the outputs the run has created, which are never written twice; the
// two of this file are added to it. Returns 0 when the input was read to its
// end and both outputs were written and closed, -1 otherwise; the message has
// been printed either way. An interrupt before the file's last message
// removes both outputs, says so and ends the process.
int convert_file(const directory* dir, const std::string& name, const std::string& path, int end_block,
                 identity_set* outputs);

// Ends the process when an interrupt has arrived, after writing out the
// console.
void end_if_interrupted();

#endif
