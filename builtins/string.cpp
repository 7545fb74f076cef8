// String methods.
#include "builtins/builtins.h"

namespace velt {

void register_string_builtins() {}

}  // namespace velt
