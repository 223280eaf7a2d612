// libFuzzer entry. Buffer-queue operation sequences against a byte model.
#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBufferQueue(data, size);
    return 0;
}
