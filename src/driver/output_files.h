// The two outputs of one recording, written under temporary names beside
// their real names and put in place only once both are whole, so that a
// real name only ever holds what it held before or a complete new output.
#ifndef QUENDIX_DRIVER_OUTPUT_FILES_H
#define QUENDIX_DRIVER_OUTPUT_FILES_H

#include "driver/platform.h"

#include <cstdio>
#include <set>
#include <string>
#include <utility>

// Files or directories by identity: the directories a walk has entered, or
// the outputs a run has made.
using identity_set = std::set<std::pair<unsigned long long, unsigned long long>>;

// Adds `id` to `set`; false when it was there already.
inline bool add_identity(identity_set* set, const file_identity& id)
{
    return set->insert(std::make_pair(id.volume, id.index)).second;
}

// True when `id` is in `set`.
inline bool has_identity(const identity_set& set, const file_identity& id)
{
    return set.count(std::make_pair(id.volume, id.index)) != 0;
}

// One output of a recording.
struct output_file {
    std::string name;        // its real name in the directory
    std::string path;        // its path as the messages show it
    std::string temporary;   // the name it is written under; empty when there is no such file
    FILE* stream = nullptr;  // the temporary file, open for binary writing; null once closed
    file_identity id = {};   // the temporary file's identity, which it keeps when renamed
};

// The CSV and log of one recording, in the directory `dir`.
struct output_pair {
    const directory* dir = nullptr;
    output_file csv;
    output_file log;
};

// The name of an output beside `path`: its last four bytes replaced by
// `extension` (".csv" or ".log"), or the extension appended when the file
// name after the last separator is shorter than four bytes.
std::string output_name(const std::string& path, const char* extension);

// Fills `pair` with the outputs of the input `name` in `dir`, shown as
// `path`. Nothing is created.
void name_outputs(const directory* dir, const std::string& name, const std::string& path, output_pair* pair);

// The output of `pair` whose real name may not be written for the input
// `name`, whose identity is `input`: the input itself, by name or through a
// link; an output that `outputs`, the outputs this run has made, holds; or
// a directory, device, pipe or socket. Null when both may. The CSV is
// looked at first.
const output_file* refused_output(const output_pair& pair, const std::string& name, const file_identity& input,
                                  const identity_set& outputs);

// Creates both outputs of `pair` as new temporary files, the CSV first,
// each named "." + its real name + ".quendix-" + six letters and digits,
// with the read and write `permissions`, and adds them to `outputs`.
// Returns null when both were made, else the output that could not be,
// with nothing left created.
const output_file* begin_outputs(output_pair* pair, unsigned permissions, identity_set* outputs);

// Closes the stream of `output`. True when every write and the close
// succeeded.
bool close_output(output_file* output);

// Renames the outputs of `pair`, both written and closed, over their real
// names, the CSV first. Returns null when both are in place, else the
// output that could not be put in place; it, and the log when the CSV could
// not be, are removed, and their real names keep what they held.
const output_file* commit_outputs(output_pair* pair, identity_set* outputs);

// Closes what is still open of `pair`, removes its temporary files and
// takes them out of `outputs`. The real names keep what they held.
void abandon_outputs(output_pair* pair, identity_set* outputs);

#endif
