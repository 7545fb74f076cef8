// Program entry of cgi-runner and cgi-runner-debug.
#include "driver/entry.h"
#include "driver/request.h"

int main(int argc, char** argv) {
    velt::request_install_hooks();
    return velt::run_program(argc, argv);
}
