// libFuzzer entry. A session object fed server text during and after the login.
#include "fuzz/targets/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLoginReplies(data, size);
    return 0;
}
