// libFuzzer entry. The passive-reply parse and the reply-text helpers.
#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReplyText(data, size);
    return 0;
}
