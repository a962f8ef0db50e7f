// SPDX-License-Identifier: MIT
// zerak-cli: the meter from the command line, for scripts and logs.

#include "cli/clirun.h"

int main(int argc, char *argv[])
{
    return cli::run(argc, argv);
}
