// Runs the command the options name against a configured client object and
// returns the tool's exit status. Upload and download are asynchronous:
// started, then followed through the notifications until they complete or
// fail. The other operations return their results directly; the library
// says why one failed (GetLastErrorCode, GetLastErrorText).
#pragma once

#include <stdint.h>

#include <string>

#include "IFtpClient.h"
#include "NotificationPump.h"
#include "Options.h"

class StreamReader;

class Commands {
public:
    Commands(const Options& options, IFtpClient2& client, NotificationPump& pump);
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
    // The failure of the synchronous call just made on this thread.
    int Failed(const std::string& what, const std::string& detail);
    // The reader compares with --verify's copy when one is given; false when
    // the copy cannot be read.
    bool PrepareVerification(StreamReader* reader) const;
    int WriteRange(StreamReader& reader, uint64_t offset, uint64_t length);
    bool ShowsProgress() const;
    // The argument at index, or "" when the command line left it out.
    std::string Argument(size_t index) const;

    const Options& m_Options;
    IFtpClient2& m_Client;
    NotificationPump& m_Pump;
};
