#pragma once

// Memory the program is about to fill.

#include <cstddef>

namespace quarvel::platform {

// Maps the whole pages within [data, data + bytes) for writing in one call, where writing
// them would take a fault for each page: on a virtual machine a fault costs several
// microseconds. The bytes are left as they are; where the system cannot, nothing happens.
void MapForWriting(char* data, size_t bytes);

}  // namespace quarvel::platform
