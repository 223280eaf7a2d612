// Random-access stream reading. Not built yet: reads are refused.
#include "client/CFtpClient.h"

int CFtpClient::ReadStream(const char*, unsigned char*, unsigned int, unsigned int,
                           unsigned int* bytesRead) {
    if (bytesRead != nullptr) *bytesRead = 0;
    return 0;
}

int CFtpClient::ReadStreamOnce(const char*, unsigned char*, unsigned int, unsigned int,
                               unsigned int* bytesRead, int) {
    if (bytesRead != nullptr) *bytesRead = 0;
    return 0;
}
