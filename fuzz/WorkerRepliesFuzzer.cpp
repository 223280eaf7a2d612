// libFuzzer entry. Whole requests against a server answering with the input's replies.
#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzWorkerReplies(data, size);
    return 0;
}
