#include "output_files.h"

#include <chrono>
#include <cstddef>

namespace {

// The longest file name most file systems take, in bytes.
constexpr size_t LONGEST_NAME = 255;

constexpr char TEMPORARY_MARK[] = ".quendix-";
constexpr size_t UNIQUE_LENGTH = 6;

// Names tried for one temporary file before giving up: each is taken only
// when another file already has it.
constexpr int NAME_TRIES = 100;

// The next number of `names` (splitmix64).
unsigned long long next_unique_number(temporary_names* names)
{
    unsigned long long z = (names->state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A temporary name for the output `name`: "." + the name + ".quendix-" +
// six letters and digits, the name cut short where the whole would be too
// long for a file name.
std::string temporary_name(const std::string& name, temporary_names* names)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const size_t room = LONGEST_NAME - 1 - (sizeof TEMPORARY_MARK - 1) - UNIQUE_LENGTH;
    std::string temporary;
    temporary.reserve(LONGEST_NAME);
    temporary.append(1, '.').append(name, 0, room).append(TEMPORARY_MARK);
    unsigned long long number = next_unique_number(names);
    for (size_t i = 0; i < UNIQUE_LENGTH; ++i) {
        temporary.push_back(digits[number % (sizeof digits - 1)]);
        number /= sizeof digits - 1;
    }
    return temporary;
}

// True when `output` may be written for the input `name` whose identity is
// `input`, as refused_output describes.
bool may_write(const directory* dir, const std::string& name, const file_identity& input, const output_file& output,
               const output_set& outputs)
{
    file_identity id;
    if (output.name == name || (name_identity(dir, output.name, true, &id) == 0 && id == input)) {
        return false;
    }
    // A file that holds the number of one of the run's outputs is that
    // output only while it is as the run left it: once the output is
    // removed, the file system gives its number to the next new file.
    file_version version;
    if (name_version(dir, output.name, &id, &version) == 0) {
        const auto made = outputs.find(id);
        if (made != outputs.end() && made->second.placed && same_version(made->second.version, version)) {
            return false;
        }
    }
    return may_replace(dir, output.name);
}

// Creates the temporary file of `output`. False when it cannot.
bool create_temporary(const directory* dir, const file_access& access, temporary_names* names, output_file* output)
{
    for (int i = 0; i < NAME_TRIES; ++i) {
        std::string name = temporary_name(output->name, names);
        bool name_taken = false;
        output->stream.reset(create_new_file(dir, name, access, &output->id, &name_taken));
        if (output->stream) {
            output->temporary.swap(name);
            return true;
        }
        if (!name_taken) {
            return false;
        }
    }
    return false;
}

// Closes `output` if it is still open, removes its temporary file and takes
// it out of `outputs`.
void discard(const directory* dir, output_file* output, output_set* outputs)
{
    output->stream.reset();
    if (!output->temporary.empty()) {
        remove_name(dir, output->temporary);
        output->temporary.clear();
        outputs->erase(output->id);
    }
}

}  // namespace

temporary_names start_temporary_names()
{
    return temporary_names{
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch().count())};
}

std::string output_name(const std::string& path, const char* extension)
{
    size_t name_start = path.size();
    while (name_start > 0 && !is_path_separator(path[name_start - 1])) {
        --name_start;
    }
    // A name shorter than the four bytes it would lose keeps its bytes, so
    // the output never lands in a parent directory or loses the name.
    const size_t kept = (path.size() - name_start < 4) ? path.size() : path.size() - 4;
    return path.substr(0, kept) + extension;
}

bool is_temporary_name(const std::string& name)
{
    constexpr size_t mark_length = sizeof TEMPORARY_MARK - 1;
    if (name.size() < 2 + mark_length + UNIQUE_LENGTH || name[0] != '.' ||
        name.compare(name.size() - UNIQUE_LENGTH - mark_length, mark_length, TEMPORARY_MARK) != 0) {
        return false;
    }
    for (size_t i = name.size() - UNIQUE_LENGTH; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
            return false;
        }
    }
    return true;
}

output_pair::~output_pair()
{
    abandon_outputs(this);
}

void name_outputs(const directory* dir, const std::string& name, const std::string& path, output_set* outputs,
                  output_pair* pair)
{
    pair->dir = dir;
    pair->outputs = outputs;
    pair->csv.name = output_name(name, ".csv");
    pair->csv.path = output_name(path, ".csv");
    pair->log.name = output_name(name, ".log");
    pair->log.path = output_name(path, ".log");
}

const output_file* refused_output(const output_pair& pair, const std::string& name, const file_identity& input)
{
    for (const output_file* output : {&pair.csv, &pair.log}) {
        if (!may_write(pair.dir, name, input, *output, *pair.outputs)) {
            return output;
        }
    }
    return nullptr;
}

const output_file* begin_outputs(output_pair* pair, const file_access& access, temporary_names* names)
{
    for (output_file* output : {&pair->csv, &pair->log}) {
        if (!create_temporary(pair->dir, access, names, output)) {
            abandon_outputs(pair);
            return output;
        }
        // The identity is the run's from now on: a later input whose output
        // name holds this file may not write it again. The entry is made
        // here, where running out of memory still leaves nothing in place;
        // one of a file the run made and that has gone since, whose number
        // the new file got, is replaced.
        (*pair->outputs)[output->id] = made_output();
    }
    return nullptr;
}

bool close_output(output_file* output)
{
    FILE* stream = output->stream.release();
    const bool wrote = std::ferror(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    return wrote && closed;
}

const output_file* commit_outputs(output_pair* pair)
{
    output_set* outputs = pair->outputs;
    for (output_file* output : {&pair->csv, &pair->log}) {
        if (rename_name(pair->dir, output->temporary, output->name) != 0) {
            abandon_outputs(pair);
            return output;
        }
        output->temporary.clear();
        // Looked at once in place, since the rename itself moves its change
        // time on. Another run that has already replaced it leaves nothing
        // of this run's under the name.
        const auto made = outputs->find(output->id);
        file_identity id;
        file_version version;
        if (made != outputs->end()) {
            if (name_version(pair->dir, output->name, &id, &version) == 0 && id == output->id) {
                made->second.placed = true;
                made->second.version = version;
            } else {
                outputs->erase(made);
            }
        }
    }
    return nullptr;
}

void abandon_outputs(output_pair* pair)
{
    discard(pair->dir, &pair->csv, pair->outputs);
    discard(pair->dir, &pair->log, pair->outputs);
}
