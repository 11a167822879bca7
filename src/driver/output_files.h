// The two outputs of one recording, written under temporary names beside
// their real names and put in place only once both are whole, so that a
// real name only ever holds what it held before or a complete new output.
#ifndef QUENDIX_DRIVER_OUTPUT_FILES_H
#define QUENDIX_DRIVER_OUTPUT_FILES_H

#include "platform.h"

#include <cstdio>
#include <map>
#include <string>

// What a run remembers of an output it has made: its version once it is in
// place, as it was then.
struct made_output {
    bool placed = false;
    file_version version = {};
};

// The outputs a run has made in one directory, by identity. An output
// collides only with the names of its own directory, so a run keeps this
// for one directory at a time.
using output_set = std::map<file_identity, made_output>;

// One output of a recording.
struct output_file {
    std::string name;       // its real name in the directory
    std::string path;       // its path as the messages show it
    std::string temporary;  // the name it is written under; empty when there is no such file
    owned_stream stream;    // the temporary file, open for binary writing; none once closed
    file_identity id = {};  // the temporary file's identity, which it keeps when renamed
};

// The CSV and log of one recording, in the directory `dir`, made as part
// of `outputs`. The pair owns what it has created: whatever of it is still
// open or under a temporary name when the pair goes (its conversion
// returned early, or ran out of memory) is abandoned as abandon_outputs
// does. It can be neither copied nor moved.
struct output_pair {
    const directory* dir = nullptr;
    output_set* outputs = nullptr;
    output_file csv;
    output_file log;

    output_pair() = default;
    output_pair(const output_pair&) = delete;
    output_pair& operator=(const output_pair&) = delete;
    ~output_pair();
};

// The sequence the temporary names of a run's outputs are drawn from:
// numbers that differ from run to run and from one name to the next.
struct temporary_names {
    unsigned long long state;
};

// A new sequence, seeded from the clock.
temporary_names start_temporary_names();

// The name of an output beside `path`: its last four bytes replaced by
// `extension` (".csv" or ".log"), or the extension appended when the file
// name after the last separator is shorter than four bytes.
std::string output_name(const std::string& path, const char* extension);

// True when `name` has the form of the temporary files that begin_outputs
// makes: "." + at least one byte + ".quendix-" + six letters and digits.
// A run passes over such files as inputs: they are outputs in the making,
// of this run or another.
bool is_temporary_name(const std::string& name);

// Fills `pair` with the outputs of the input `name` in `dir`, shown as
// `path`, among `outputs`, the outputs this run has made in the directory.
// Nothing is created.
void name_outputs(const directory* dir, const std::string& name, const std::string& path, output_set* outputs,
                  output_pair* pair);

// The output of `pair` whose real name may not be written for the input
// `name`, whose identity is `input`: the input itself, by name or through a
// link; one of the outputs this run has made in the directory, unchanged
// since it was put in place (not a later file that got its identity); a
// name this user may not replace; or a directory, device, pipe or socket.
// Null when both may. The CSV is looked at first.
const output_file* refused_output(const output_pair& pair, const std::string& name, const file_identity& input);

// Creates both outputs of `pair` as new temporary files, the CSV first,
// each named "." + its real name + ".quendix-" + six letters and digits
// drawn from `names`, readable as a file of `access` is (see create_new_file), and adds them
// to the pair's outputs. Returns null when both were made, else the output
// that could not be, with nothing left created.
const output_file* begin_outputs(output_pair* pair, const file_access& access, temporary_names* names);

// Closes the stream of `output`. True when every write and the close
// succeeded.
bool close_output(output_file* output);

// Renames the outputs of `pair`, both written and closed, over their real
// names, the CSV first, and notes in the pair's outputs what each is once
// in place. Returns null when both are in place, else the output that could
// not be put in place; it, and the log when the CSV could not be, are
// removed, and their real names keep what they held.
const output_file* commit_outputs(output_pair* pair);

// Closes what is still open of `pair`, removes its temporary files and
// takes them out of the pair's outputs. The real names keep what they
// held. Needs no memory, so that it can be done while std::bad_alloc
// passes.
void abandon_outputs(output_pair* pair);

#endif
