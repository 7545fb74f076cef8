// Object and Hash methods.
#include "builtins/builtins.h"

namespace velt {

void register_hash_builtins() {}

}  // namespace velt
