// The entry procedure: mode, client address, configuration, run, closing.
#pragma once

namespace velt {

int run_program(int argc, char** argv);

// What the debug build adds to a run. Each defaults to doing nothing; the
// debugger link installs its routines before run_program is called (see
// driver/main.cpp).
struct RunHooks {
    void (*after_config)();       // decide whether to connect to the debugging front end
    void (*close_connections)();  // database connections
    void (*end_debugger)();       // end notice, close the link
};
extern RunHooks run_hooks;

}  // namespace velt
