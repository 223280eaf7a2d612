// Reads a remote file through the library's stream reading (ReadStream) as a
// player thread does, while the main thread shows the buffering state, and
// checks each read against a local copy when one is given.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "IFtpClient.h"
#include "LocalCopy.h"
#include "NotificationPump.h"
#include "ProgressDisplay.h"

struct StreamRead {
    bool succeeded;  // ReadStream returned nonzero
    uint32_t got;    // bytes it delivered
    int seekFlag;    // GetSeekFlag() right after the read
    double milliseconds;
    int64_t firstDifference;  // with a copy: where the read disagrees, else -1
};

class StreamReader {
public:
    StreamReader(IFtpClient& client, NotificationPump& pump, const std::string& remotePath,
                 bool showBuffering);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Every read is then compared with the file at path; false when it
    // cannot be opened.
    bool VerifyAgainst(const std::string& path);

    const std::string& RemotePath() const { return m_RemotePath; }

    // data holds the bytes got afterwards.
    StreamRead Read(uint32_t position, uint32_t length, std::vector<unsigned char>* data);

private:
    IFtpClient& m_Client;
    NotificationPump& m_Pump;
    std::string m_RemotePath;
    ProgressDisplay m_Buffering;
    LocalCopy m_Copy;
    bool m_bVerifying;
};
