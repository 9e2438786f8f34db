#pragma once

// The place where a long wait of the framework lets a pending stop of the program take effect:
// the data mover runner passes here once for every line the data mover prints.

namespace kelvanor::module {

void at_stop_point();

}  // namespace kelvanor::module
