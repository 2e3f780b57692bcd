// The libFuzzer entry point of one target; QUARVEL_FUZZ_TARGET names its function.

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::QUARVEL_FUZZ_TARGET(data, size);
}
