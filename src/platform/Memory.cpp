#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace quarvel::platform {

namespace {

#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;  // Linux 5.14; older kernels refuse it, and pages fault in as written
#endif

}  // namespace

void MapForWriting(char* data, size_t bytes) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t from = (start + page - 1) / page * page;
    const uintptr_t to = (start + bytes) / page * page;
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, kPopulateWrite);
}

}  // namespace quarvel::platform
