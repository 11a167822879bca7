// The writing of a CSV file's rows: the sink the conversion fills, and how
// its buffers reach the file. On Linux they are written asynchronously
// through io_uring, a few buffers in flight at a time while the next rows
// are formatted, with the file's blocks reserved ahead; where io_uring
// cannot be set up the same writes are made synchronously, as on Windows.
#ifndef QUENDIX_DRIVER_CSV_WRITER_H
#define QUENDIX_DRIVER_CSV_WRITER_H

#include "convert/frame_file.h"

#include <cstdio>

// The writer of one open CSV file; one at a time.
struct csv_writer;

// Starts writing rows to `csv`, a new file opened for binary writing whose
// header has been written by write_csv_header; the rows follow it. The
// writer owns the stream from now on.
csv_writer* open_csv_writer(FILE* csv);

// The sink that hands the conversion the writer's buffers.
csv_sink csv_writer_sink(csv_writer* writer);

// Waits for every write in flight, cuts the file to the length of what was
// written (dropping blocks reserved beyond it) and closes it. True when the
// header and every buffer given to the sink were written whole and the
// file was closed; a write that failed or came back short makes it false.
bool close_csv_writer(csv_writer* writer);

#endif
