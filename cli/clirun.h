// SPDX-License-Identifier: MIT
#pragma once

namespace cli {

// The whole of zerak-cli; main() only calls this.
int run(int argc, char *argv[]);

} // namespace cli
