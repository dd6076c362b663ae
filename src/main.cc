// SPDX-License-Identifier: MIT
#include "unitfind.h"

int main(int argc, char **argv) { return unitfind_main(argc, argv); }
