// The debugger link of cgi-runner-debug: the connection back to the
// debugging front end, module requests, breakpoints, stops and stepping,
// evaluation on request, traces, console and diagnostic messages.
#pragma once

namespace velt::debugger {

// Puts the link's routines into the driver's run hooks (before the run).
void install();

}  // namespace velt::debugger
