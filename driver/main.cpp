// Program entry of cgi-runner and cgi-runner-debug.
#include "driver/entry.h"

#ifdef VELT_DEBUGGER
#include "debugger/link.h"
#endif

int main(int argc, char** argv) {
#ifdef VELT_DEBUGGER
    velt::debugger::install();
#endif
    return velt::run_program(argc, argv);
}
