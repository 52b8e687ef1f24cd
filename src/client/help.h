// The client's help text (lomarind --help).
#pragma once

/// Writes the help text to standard output.
void print_help();
