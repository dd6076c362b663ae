// SPDX-License-Identifier: MIT
#include "command_line.h"

int main(int argc, char **argv) { return unitfind_main(argc, argv); }
