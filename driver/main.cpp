// Program entry of cgi-runner and cgi-runner-debug.
#include "driver/entry.h"

int main(int argc, char** argv) {
    return velt::run_program(argc, argv);
}
