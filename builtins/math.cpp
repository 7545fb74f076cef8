// Math, Number, parseInt and parseFloat.
#include "builtins/builtins.h"

namespace velt {

void register_math_builtins() {}

}  // namespace velt
