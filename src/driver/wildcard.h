// File-name wildcards as the directory listing understands them.
#ifndef QUENDIX_DRIVER_WILDCARD_H
#define QUENDIX_DRIVER_WILDCARD_H

// True when `name` matches `pattern` as a whole: "*" matches any run of
// characters including none, "?" exactly one, and every other character
// itself, ASCII letters without regard to case. A leading "." is an
// ordinary character.
bool wildcard_match(const char* pattern, const char* name);

#endif
