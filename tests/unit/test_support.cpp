#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "db/frontend.h"
#include "driver/config.h"
#include "driver/journal.h"
#include "driver/request.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"
#include "values/values.h"

namespace velt {

void reset_interpreter() {
    parser_reset(true);
    scope_reset();
    areas_reset_for_tests();
    names_reset_for_tests();
    names_init();
    journal_reset_for_tests();
    run_reset_for_tests();
    config_reset_for_tests();
    request_reset_for_tests();
    frontend_reset_for_tests();
    optable_init();
    try_reset();
    g_error_caught = false;
}

void use_module(const char* name) {
    for (int i = 0; i <= g_run.module_last; ++i) {
        if (std::strcmp(module_name(static_cast<uint32_t>(i + 1)), name) == 0) {
            g_run.current_module = static_cast<uint32_t>(i + 1);
            return;
        }
    }
    module_add(name, std::strlen(name), MODULE_JS);
    g_run.current_module = static_cast<uint32_t>(g_run.module_last + 1);
}

std::string report_text(ValueWord error) {
    size_t len = 0;
    const char* text = error_message_text(error, &len);
    return std::string(text, len);
}

std::string make_temp_dir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    const char* d = mkdtemp(tmpl.data());
    EXPECT_NE(d, nullptr) << tmpl;
    return d ? d : "";
}

void remove_tree(const std::string& dir) {
    if (dir.empty()) return;
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << dir;
}

bool write_file(const std::string& path, const std::string& text) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        std::string mk = "mkdir -p '" + path.substr(0, slash) + "'";
        if (std::system(mk.c_str()) != 0) return false;
    }
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace velt
