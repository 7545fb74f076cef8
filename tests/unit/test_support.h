// Shared fixture helpers of the unit tests: one reset of every process-wide
// table the interpreter keeps, the report text of a raised error, and
// scratch directories and files.
#pragma once

#include <string>

#include "driver/errors.h"
#include "values/values.h"
#include "values/word.h"

namespace velt {

// Puts the interpreter back to its state before a run: parser and program,
// scopes, areas, names (seeded), journal, module table, configuration,
// request and front-end counters, the operation table, the try stack and
// the caught-error flag. Tests add their own mode and module setup after it.
void reset_interpreter();

// Makes the named module current, adding it to the module table once.
void use_module(const char* name);

// The whole report text an error value carries.
std::string report_text(ValueWord error);
inline std::string report_text(const ScriptThrow& t) { return report_text(t.value); }

// The code and report text of the error f raises, or {"none", ""}.
struct Failure {
    std::string code;
    std::string message;
};

template <class F>
Failure failure_of(F f) {
    try {
        f();
    } catch (const ScriptThrow& t) {
        return {error_code_text(t.value), report_text(t)};
    }
    return {"none", ""};
}

// A new directory under /tmp named from prefix; "" (with a test failure)
// when it cannot be made.
std::string make_temp_dir(const char* prefix);
void remove_tree(const std::string& dir);

// Writes text to path, making its parent directories; false on failure.
bool write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

}  // namespace velt
