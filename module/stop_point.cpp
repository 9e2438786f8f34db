#include "module/stop_point.h"

namespace kelvanor::module {

// Nothing is pending until the signal handling defers work to this point.
void at_stop_point() {}

}  // namespace kelvanor::module
