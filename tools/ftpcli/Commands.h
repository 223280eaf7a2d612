// Runs the command the options name against a configured client object and
// returns the tool's exit status. Upload and download are asynchronous:
// started, then followed through the notifications until they complete or
// fail. The other operations return their results directly; a notice that
// arrived meanwhile names the reason of a failure.
#pragma once

#include <stdint.h>

#include <string>

#include "IFtpClient.h"
#include "NotificationPump.h"
#include "Options.h"

class StreamReader;

class Commands {
public:
    Commands(const Options& options, IFtpClient& client, NotificationPump& pump);
    int Run();

private:
    int Upload();
    int Download();
    int List();
    int Size();
    int Delete();
    int MakeDirectory();
    int RemoveDirectory();
    int Read();
    int Play();

    int AwaitTransfer(const std::string& what, const std::string& label, int64_t totalBytes);
    int Judge(bool succeeded, const std::string& what);
    // The reader compares with --verify's copy when one is given; false when
    // the copy cannot be read.
    bool PrepareVerification(StreamReader* reader) const;
    int WriteRange(StreamReader& reader, uint32_t offset, uint32_t length);
    bool ShowsProgress() const;
    // The argument at index, or "" when the command line left it out.
    std::string Argument(size_t index) const;

    const Options& m_Options;
    IFtpClient& m_Client;
    NotificationPump& m_Pump;
};
