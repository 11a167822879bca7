#include "wildcard.h"

static char fold_case(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool wildcard_match(const char* pattern, const char* name)
{
    // Greedy matching with one backtrack point: the most recent "*" and the
    // name position it was tried at. This is linear for ordinary patterns
    // and never recurses, whatever the pattern holds.
    const char* star = nullptr;
    const char* star_name = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = ++pattern;
            star_name = name;
        } else if (*pattern != '\0' && (*pattern == '?' || fold_case(*pattern) == fold_case(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star;
            name = ++star_name;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}
