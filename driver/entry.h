// The entry procedure: mode, client address, configuration, run, closing.
#pragma once

namespace velt {

int run_program(int argc, char** argv);

// The steps of a run that later subsystems provide. Each defaults to doing
// nothing; the subsystem that owns a step installs its routine before
// run_program is called (see driver/main.cpp).
struct RunHooks {
    void (*after_config)();           // e.g. decide the debugger link
    void (*read_request)();           // CGI and replay mode: body, fields, token check
    void (*load_modules)();           // every module of the module table, in order
    void (*bind_globals)();           // VAR list and the four constants
    void (*run_module_statements)();  // the program statement list
    void (*prepare_top_call)();       // append MainScript, parse the call text
    void (*evaluate_top_call)();
    void (*send_token_message)();     // closing "X" message
    void (*close_connections)();      // database connections
    void (*end_debugger)();
};
extern RunHooks run_hooks;

}  // namespace velt
