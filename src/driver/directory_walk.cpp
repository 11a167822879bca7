#include "driver/directory_walk.h"

#include "convert/frame_file.h"
#include "driver/platform.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

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

std::string join_path(const std::string& dir, const std::string& name)
{
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, path_separator).append(name);
    return path;
}

using identity_set = std::set<std::pair<unsigned long long, unsigned long long>>;

// Records the directory as visited; false when it was visited before or
// cannot be identified, so that link loops and aliases are entered once.
bool first_visit(const std::string& dir, identity_set* visited)
{
    file_identity id;
    if (path_identity(dir.c_str(), &id) != 0) {
        return false;
    }
    return visited->insert(std::make_pair(id.volume, id.index)).second;
}

void convert_selected_files(const std::string& dir, const selector_parts& selector, int end_block)
{
    const std::string listed_dir =
        selector.directory.empty() ? dir : join_path(dir, selector.directory);
    std::vector<listing_entry> entries;
    if (list_directory(listed_dir, selector.name_pattern, &entries) != 0) {
        return;
    }
    for (const listing_entry& entry : entries) {
        if (!entry.is_directory) {
            // The result is of no concern here: a failed file has printed
            // its own message, and the walk goes on.
            convert_file(join_path(listed_dir, entry.name).c_str(), end_block);
        }
    }
}

void walk(const std::string& dir, const selector_parts& selector, bool recursive, int end_block,
          identity_set* visited)
{
    convert_selected_files(dir, selector, end_block);
    if (!recursive) {
        return;
    }
    std::vector<listing_entry> entries;
    if (list_directory(dir, "*", &entries) != 0) {
        return;
    }
    for (const listing_entry& entry : entries) {
        if (!entry.is_directory) {
            continue;
        }
        const std::string subdir = join_path(dir, entry.name);
        if (first_visit(subdir, visited)) {
            walk(subdir, selector, recursive, end_block, visited);
        }
    }
}

}  // namespace

void process_directory(const char* dir, const char* selector, bool recursive, int end_block)
{
    identity_set visited;
    first_visit(dir, &visited);
    walk(dir, split_selector(selector), recursive, end_block, &visited);
}
