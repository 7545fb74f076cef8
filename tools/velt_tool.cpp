// velt-tool: companion commands for administrators and tests.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s fingerprint DIR\n", argv[0]);
        return 1;
    }
    return 1;
}
