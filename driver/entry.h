// The entry procedure: mode, client address, configuration, run, closing.
#pragma once

namespace velt {

int run_program(int argc, char** argv);

}  // namespace velt
