// Array and sparse-array methods.
#include "builtins/builtins.h"

namespace velt {

void register_array_builtins() {}

}  // namespace velt
