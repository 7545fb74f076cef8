// Date.
#include "builtins/builtins.h"

namespace velt {

void register_date_builtins() {}

}  // namespace velt
