// eval of a script text.
#include "builtins/builtins.h"

namespace velt {

void register_eval_builtins() {}

}  // namespace velt
