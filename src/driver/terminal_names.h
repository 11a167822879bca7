// Names as the console shows them. A file name may hold any bytes but the
// separator, and some bytes steer a terminal: on one, those are shown as
// "?"; anywhere else the bytes go as they are, so that scripts see the
// exact names.
#ifndef QUENDIX_DRIVER_TERMINAL_NAMES_H
#define QUENDIX_DRIVER_TERMINAL_NAMES_H

#include <string>

// Writes the path `text` to standard output. With `terminal`, each control
// byte (below 0x20, and 0x7F), each C1 control (U+0080 to U+009F, two bytes
// in UTF-8) and each byte that is not part of a well-formed UTF-8 sequence
// (a lone 0x9B is an 8-bit CSI to some terminals) is shown as "?", so that
// no file name can move the cursor, clear the screen or set the window
// title. Needs no memory.
void print_path(const std::string& text, bool terminal);

#endif
