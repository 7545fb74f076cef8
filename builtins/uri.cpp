// URI functions.
#include "builtins/builtins.h"

namespace velt {

void register_uri_builtins() {}

}  // namespace velt
