// libFuzzer harness of the RegExp engine: compiles a fuzzed pattern with
// fuzzed flags, prints it back and matches it against a fuzzed subject.
// Input: one flags byte, the pattern, a zero byte, the subject.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "builtins/regexp.h"
#include "driver/errors.h"
#include "driver/journal.h"
#include "driver/run.h"
#include "eval/eval.h"
#include "eval/scope.h"
#include "parser/statements.h"
#include "values/areas.h"
#include "values/names.h"

using namespace velt;

namespace {

int g_runs = 0;

void reset_state() {
    parser_reset(true);
    scope_reset();
    areas_reset_for_tests();
    names_reset_for_tests();
    names_init();
    journal_reset_for_tests();
    run_reset_for_tests();
    optable_init();
    try_reset();
    g_regexp_step_limit = 50000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_runs++ % 1000 == 0) reset_state();
    if (size < 1) return 0;
    uint8_t flags = data[0] & 0x7C;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    const void* z = std::memchr(rest, 0, n);
    size_t plen = z ? static_cast<size_t>(static_cast<const char*>(z) - rest) : n;
    const char* subj = z ? rest + plen + 1 : rest;
    size_t slen = z ? n - plen - 1 : n;
    try {
        ValueWord re = regexp_compile_text(rest, plen, flags);
        std::string src = regexp_source(re);
        std::vector<uint16_t> s;
        for (size_t i = 0; i < slen; ++i) s.push_back(static_cast<unsigned char>(subj[i]));
        if (flags & 0x08) {
            for (uint16_t& u : s) if (u >= 'a' && u <= 'z') u = static_cast<uint16_t>(u - 32);
        }
        int32_t len = static_cast<int32_t>(s.size());
        int32_t at = 0, ms = 0;
        for (int k = 0; k < 4 && at <= len; ++k) {
            int32_t me = regexp_match(re, s.data(), len, at, flags, &ms);
            if (me < 0) break;
            if (me < ms || ms < at || me > len) __builtin_trap();
            at = me > ms ? me : me + 1;
        }
    } catch (const ScriptThrow&) {
    }
    return 0;
}
