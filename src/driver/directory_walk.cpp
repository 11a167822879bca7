#include "directory_walk.h"

#include "file_conversion.h"
#include "output_files.h"
#include "platform.h"
#include "signals.h"

#include <set>
#include <string>
#include <vector>

namespace {

// Directories by identity: those a walk has entered or listed.
using identity_set = std::set<file_identity>;

// Adds `id` to `set`; false when it was there already.
bool add_identity(identity_set* set, const file_identity& id)
{
    return set->insert(id).second;
}

// The selector split at its last separator: a selector such as "sub/*.qvx"
// looks into the subdirectory "sub" of every visited directory, and the
// files it finds there are converted under that subdirectory's path.
struct selector_parts {
    std::string directory;  // empty when the selector names no directory
    std::string name_pattern;
};

selector_parts split_selector(const char* selector)
{
    const std::string text(selector);
    for (size_t i = text.size(); i > 0; --i) {
        if (is_path_separator(text[i - 1])) {
            return selector_parts{text.substr(0, i - 1), text.substr(i)};
        }
    }
    return selector_parts{std::string(), text};
}

// What stays the same throughout one walk.
struct walk_state {
    selector_parts selector;
    bool recursive = false;
    int end_block = 0;
    run_resources* resources = nullptr;
    // The directories entered so far, so that link loops and aliases are
    // entered once.
    identity_set visited;
    // The directories that a selector with a directory part has led to, so
    // that one reached from two places has its files converted once.
    identity_set listed;
};

// Converts the files of `dir`, whose path is `path`, that the selector
// selects. RUN_INTERRUPTED when an interrupt has ended the walk, else
// RUN_DONE, whatever became of the files.
run_outcome convert_selected_files(const directory* dir, const std::string& path, walk_state* state)
{
    const selector_parts& selector = state->selector;
    directory_handle subdir;
    file_identity subdir_id;
    if (!selector.directory.empty()) {
        subdir = open_directory(dir, selector.directory, &subdir_id);
        if (!subdir) {
            return RUN_DONE;
        }
    }
    const directory* listed = subdir ? subdir.get() : dir;
    run_outcome outcome = RUN_DONE;
    // Without memory for the path of the selector's directory or for its
    // listing, its files are not reached, as when it cannot be read.
    ran_out_of_memory([&] {
        // The outputs made here matter only to the later files of this
        // listing: no other directory's file can collide with them.
        output_set outputs;
        const std::string listed_path = subdir ? join_path(path, selector.directory) : path;
        std::vector<listing_entry> entries;
        if ((subdir && !add_identity(&state->listed, subdir_id)) ||
            list_directory(listed, selector.name_pattern, &entries) != 0) {
            return;
        }
        for (const listing_entry& entry : entries) {
            // The temporary files of outputs being written, by this run or
            // another, are no recordings.
            if (entry.is_directory || is_temporary_name(entry.name)) {
                continue;
            }
            // A failed file has printed its own message, and the walk goes
            // on.
            if (interrupt_signal != 0 || convert_file(listed, entry.name, listed_path, state->end_block, &outputs,
                                                      state->resources) == RUN_INTERRUPTED) {
                outcome = RUN_INTERRUPTED;
                return;
            }
        }
    });
    return outcome;
}

run_outcome walk(const directory* dir, const std::string& path, walk_state* state);

// Walks the subdirectory `name` of `parent`, whose path is `parent_path`,
// unless the walk has entered it already; with a null `parent`, the
// directory `name` the walk starts in, whose path is `name` itself. One
// that cannot be opened, or whose path or record the memory cannot hold, is
// not entered, like an unreadable one; in one entered, a listing too large
// for memory passes over the rest of it. RUN_FAILED when memory ran out
// before the directory was recorded as entered, RUN_INTERRUPTED when an
// interrupt has ended the walk, else RUN_DONE.
run_outcome enter(const directory* parent, const std::string& parent_path, const std::string& name, walk_state* state)
{
    bool recorded = false;
    run_outcome outcome = RUN_DONE;
    // Not entered, or the rest passed over, as said above.
    const bool short_of_memory = ran_out_of_memory([&] {
        file_identity id;
        const directory_handle dir = open_directory(parent, name, &id);
        if (!dir || !add_identity(&state->visited, id)) {
            return;
        }
        recorded = true;
        outcome = walk(dir.get(), parent != nullptr ? join_path(parent_path, name) : name, state);
    });
    return (short_of_memory && !recorded) ? RUN_FAILED : outcome;
}

// Walks `dir`, whose path is `path`: its selected files, then, with a
// recursive walk, its subdirectories. RUN_INTERRUPTED when an interrupt
// has ended the walk, else RUN_DONE.
run_outcome walk(const directory* dir, const std::string& path, walk_state* state)
{
    if (convert_selected_files(dir, path, state) == RUN_INTERRUPTED) {
        return RUN_INTERRUPTED;
    }
    if (!state->recursive) {
        return RUN_DONE;
    }
    // A listing too large for memory throws, and enter passes over the rest
    // of this directory like an unreadable one.
    std::vector<listing_entry> entries;
    if (list_directory(dir, "*", &entries) != 0) {
        return RUN_DONE;
    }
    for (const listing_entry& entry : entries) {
        // A subdirectory that could not be entered for want of memory is
        // passed over like an unreadable one.
        if (entry.is_directory && (interrupt_signal != 0 || enter(dir, path, entry.name, state) == RUN_INTERRUPTED)) {
            return RUN_INTERRUPTED;
        }
    }
    return RUN_DONE;
}

}  // namespace

run_outcome process_directory(const char* dir, const char* selector, bool recursive, int end_block,
                              run_resources* resources)
{
    walk_state state;
    std::string start;
    if (ran_out_of_memory([&] {
            state.selector = split_selector(selector);
            start = dir;
        })) {
        return RUN_FAILED;
    }
    state.recursive = recursive;
    state.end_block = end_block;
    state.resources = resources;
    // Without the memory to open and record the start directory nothing is
    // converted; memory that runs out later passes over what is left.
    return enter(nullptr, std::string(), start, &state);
}
