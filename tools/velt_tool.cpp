// velt-tool: companion commands for administrators and tests.
//
//   velt-tool fingerprint DIR   the value that "MODULE_DIR=DIR>>>value" expects
//   velt-tool request OPTIONS   a request body (tools/request_tool.cpp)
//   velt-tool response [FILE]   a response stream, one line per message
#include <cstdio>
#include <cstring>

#include "driver/config.h"

int cmd_request(const char* program, int argc, char** argv);
int cmd_response(const char* program, int argc, char** argv);

namespace {

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s fingerprint DIR | request OPTIONS | response [FILE]\n", program);
    return 2;
}

int cmd_fingerprint(const char* program, int argc, char** argv) {
    if (argc != 1) return usage(program);
    char fp[65];
    // Same routine as the configuration check; its file-time failure has
    // already printed its message.
    if (!velt::module_dir_fingerprint(argv[0], fp)) {
        std::fflush(stdout);
        return 2;
    }
    std::printf("%s\n", fp);
    return 0;
}

struct Command {
    const char* name;
    int (*run)(const char* program, int argc, char** argv);
};

const Command COMMANDS[] = {
    {"fingerprint", cmd_fingerprint},
    {"request", cmd_request},
    {"response", cmd_response},
};

}  // namespace

int main(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "velt-tool";
    if (argc < 2) return usage(program);
    for (const Command& c : COMMANDS) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(program, argc - 2, argv + 2);
    }
    return usage(program);
}
