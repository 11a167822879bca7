// What a run converts its files with, taken once before the first file by
// the run's start and lent to each conversion in turn.
#ifndef QUENDIX_DRIVER_RUN_RESOURCES_H
#define QUENDIX_DRIVER_RUN_RESOURCES_H

#include "csv_writer.h"
#include "frame_file.h"
#include "output_files.h"

#include <memory>
#include <new>

// A run's resources: the conversion's working memory, the CSV writers'
// buffers and the sequence of temporary names. One conversion at a time
// uses them. Large: they are taken from the heap by take_run_resources.
struct run_resources {
    conversion_memory conversion;
    csv_buffer_pool csv_buffers;
    temporary_names names;

    // Leaves the buffers as the system hands them over, untouched, so that
    // only the pages a run writes to take memory.
    run_resources() : names(start_temporary_names()) {}
    run_resources(const run_resources&) = delete;
    run_resources& operator=(const run_resources&) = delete;
};

// A run's resources, or none when their memory cannot be had.
inline std::unique_ptr<run_resources> take_run_resources()
{
    return std::unique_ptr<run_resources>(new (std::nothrow) run_resources);
}

#endif
