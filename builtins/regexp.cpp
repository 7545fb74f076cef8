// RegExp engine and RegExp methods.
#include "builtins/builtins.h"

namespace velt {

void register_regexp_builtins() {}

}  // namespace velt
