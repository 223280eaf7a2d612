// Reads a remote file through the library's stream reading (ReadStream64) as
// a player thread does, while the main thread shows the buffering state, and
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
    bool succeeded;  // ReadStream64 returned nonzero
    uint32_t got;    // bytes it delivered
    int seekFlag;    // GetSeekFlag() right after the read
    double milliseconds;
    int64_t firstDifference;  // with a copy: where the read disagrees, else -1
    // A failed read: GetLastErrorCode and GetLastErrorText on the reading
    // thread, right after it.
    int errorCode;
    std::string errorText;
};

class StreamReader {
public:
    StreamReader(IFtpClient2& client, NotificationPump& pump, const std::string& remotePath,
                 bool showBuffering);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Every read is then compared with the file at path; false when it
    // cannot be opened.
    bool VerifyAgainst(const std::string& path);

    const std::string& RemotePath() const { return m_RemotePath; }

    // data holds the bytes got afterwards.
    StreamRead Read(uint64_t position, uint32_t length, std::vector<unsigned char>* data);

private:
    IFtpClient2& m_Client;
    NotificationPump& m_Pump;
    std::string m_RemotePath;
    ProgressDisplay m_Buffering;
    LocalCopy m_Copy;
    bool m_bVerifying;
};
