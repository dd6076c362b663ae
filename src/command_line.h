// SPDX-License-Identifier: MIT
// The command line: reads the options into a search's settings, confirming
// each, and runs the whole process around the search.
#ifndef UNITFIND_COMMAND_LINE_H_
#define UNITFIND_COMMAND_LINE_H_

#include <stdio.h>

#include "search.h"

/// The settings of a run given no options.
search_settings default_settings();

/// Walks argv[1..argc-1] into `settings`, writing each confirmation, and any
/// rejection with the usage text, to `err`. Returns 1 when the run should go
/// on, 0 when an option was rejected or help was asked for (exit status 1).
int read_options(int argc, char **argv, search_settings *settings, FILE *err);

/// The whole process: banner, options, search. Returns the exit status.
int unitfind_main(int argc, char **argv);

#endif  // UNITFIND_COMMAND_LINE_H_
