#include "Commands.h"

#include <stdio.h>

#include <vector>

#include "Console.h"
#include "ExitStatus.h"
#include "LocalCopy.h"
#include "NumberText.h"
#include "ProgressDisplay.h"
#include "StreamPlayer.h"
#include "StreamReader.h"

namespace {

// The piece a read takes at a time, as a player's read would be.
const uint32_t kReadPiece = 65536;

std::string FileNameOf(const std::string& path) {
    size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace

Commands::Commands(const Options& options, IFtpClient2& client, NotificationPump& pump)
    : m_Options(options), m_Client(client), m_Pump(pump) {}

int Commands::Run() {
    struct Entry {
        const char* name;
        int (Commands::*run)();
    };
    static const Entry kEntries[] = {
        {"upload", &Commands::Upload},
        {"download", &Commands::Download},
        {"list", &Commands::List},
        {"size", &Commands::Size},
        {"delete", &Commands::Delete},
        {"mkdir", &Commands::MakeDirectory},
        {"rmdir", &Commands::RemoveDirectory},
        {"read", &Commands::Read},
        {"play", &Commands::Play},
    };
    for (const Entry& entry : kEntries) {
        if (m_Options.command == entry.name) return (this->*entry.run)();
    }
    return ReportFailure(kExitUsage, "no such command: " + m_Options.command);
}

std::string Commands::Argument(size_t index) const {
    return index < m_Options.arguments.size() ? m_Options.arguments[index] : std::string();
}

bool Commands::ShowsProgress() const {
    return !m_Options.quiet && console::IsTerminal(stderr);
}

// ---- Asynchronous ---------------------------------------------------------------

int Commands::Upload() {
    const std::string local = Argument(0);
    const std::string remote = Argument(1);
    const std::string what = "upload " + local;
    int64_t size = LocalCopy::SizeOf(local);
    if (size < 0) return ReportFailure(kExitLocalFile, what + ": cannot read the local file");
    m_Pump.Reset();
    if (m_Client.SendFile(local.c_str(), remote.c_str()) == 0) {
        return ReportFailure(kExitRefused, what + ": the library refused to start the upload: " +
                                               m_Client.GetLastErrorText());
    }
    int status = AwaitTransfer(what, FileNameOf(local), size);
    if (status == ExitStatusForFtpError(FTPE_BADREPLY) && !m_Options.overwrite) {
        fputs("ftpcli: (a remote file already there is replaced only with --overwrite)\n", stderr);
    }
    return status;
}

// On a terminal the size is asked first, for the rate and the time left.
int Commands::Download() {
    const std::string remote = Argument(0);
    const std::string local = Argument(1);
    const std::string what = "download " + remote;
    long long size = -1;
    if (ShowsProgress() && m_Client.GetRemoteFileSize64(remote.c_str(), &size) == 0 &&
        m_Client.GetLastErrorCode() != 0) {
        return Failed(what, "");
    }
    m_Pump.Reset();
    if (m_Client.ReceiveFile(remote.c_str(), local.c_str()) == 0) {
        return ReportFailure(kExitRefused, what + ": the library refused to start the download: " +
                                               m_Client.GetLastErrorText());
    }
    return AwaitTransfer(what, FileNameOf(remote), size);
}

int Commands::AwaitTransfer(const std::string& what, const std::string& label, int64_t totalBytes) {
    ProgressDisplay display(stderr, ShowsProgress(), label, totalBytes);
    m_Pump.OnProgress([&display](int percent) { display.ShowTransfer(percent); });
    NotificationPump::Outcome outcome =
        m_Pump.WaitForOutcome(std::chrono::seconds(m_Options.timeoutSeconds));
    m_Pump.OnProgress(nullptr);
    if (outcome == NotificationPump::kCompleted) display.ShowTransfer(100);
    display.Finish();
    switch (outcome) {
    case NotificationPump::kCompleted: return kExitOk;
    case NotificationPump::kFailed: return ReportFtpError(what, m_Pump.ErrorCode());
    case NotificationPump::kTimedOut:
        return ReportFailure(kExitTimedOut, what + ": not complete within " +
                                                std::to_string(m_Options.timeoutSeconds) + " s");
    case NotificationPump::kInterrupted: break;
    }
    return ReportFailure(kExitInterrupted, what + ": interrupted");
}

// ---- Synchronous ----------------------------------------------------------------

int Commands::Failed(const std::string& what, const std::string& detail) {
    return ReportLibraryFailure(what, m_Client.GetLastErrorCode(), m_Client.GetLastErrorText(),
                                detail);
}

int Commands::Judge(bool succeeded, const std::string& what) {
    if (succeeded) return kExitOk;
    return Failed(what, "failed");
}

// The whole listing: a first buffer for most folders, then one of the size
// the library asks for (it keeps the listing for that call). Without a
// pattern everything is listed: the library's default "*.*" is a wildcard
// many servers answer with "550 ".
int Commands::List() {
    const std::string directory = Argument(0);
    const std::string pattern = Argument(1);
    std::vector<char> listing(65536);
    for (int attempt = 0; attempt < 2; ++attempt) {
        unsigned int needed = 0;
        if (m_Client.ListDirectoryAll(directory.c_str(), pattern.c_str(), listing.data(),
                                      (unsigned int)listing.size(), &needed) != 0) {
            fputs(listing.data(), stdout);
            return kExitOk;
        }
        if (needed == 0) break;
        listing.resize(needed);
    }
    return Failed("list " + directory, "no listing");
}

int Commands::Size() {
    const std::string remote = Argument(0);
    long long size = -1;
    if (m_Client.GetRemoteFileSize64(remote.c_str(), &size) == 0) {
        return Failed("size " + remote, "no size (no such file?)");
    }
    printf("%lld\n", size);
    return kExitOk;
}

int Commands::Delete() {
    const std::string remote = Argument(0);
    return Judge(m_Client.DeleteRemoteFile(remote.c_str()) == 1, "delete " + remote);
}

int Commands::MakeDirectory() {
    const std::string remote = Argument(0);
    return Judge(m_Client.CreateOrRemoveDirectory(remote.c_str(), 1) != 0, "mkdir " + remote);
}

int Commands::RemoveDirectory() {
    const std::string remote = Argument(0);
    return Judge(m_Client.CreateOrRemoveDirectory(remote.c_str(), 0) != 0, "rmdir " + remote);
}

// ---- Stream reading ---------------------------------------------------------------

int Commands::Read() {
    unsigned long long offset = 0;
    unsigned long long length = 0;
    if (!ParseUnsigned(Argument(1), INT64_MAX, &offset) ||
        !ParseUnsigned(Argument(2), INT64_MAX, &length)) {
        return ReportFailure(kExitUsage, "read: OFFSET and LENGTH are whole numbers below 2^63");
    }
    if (offset + length > (unsigned long long)INT64_MAX) {
        return ReportFailure(kExitUsage, "read: the range ends beyond 2^63");
    }
    StreamReader reader(m_Client, m_Pump, Argument(0), ShowsProgress());
    if (!PrepareVerification(&reader)) {
        return ReportFailure(kExitLocalFile, "cannot read " + m_Options.verifyCopy);
    }
    return WriteRange(reader, offset, length);
}

bool Commands::PrepareVerification(StreamReader* reader) const {
    return m_Options.verifyCopy.empty() || reader->VerifyAgainst(m_Options.verifyCopy);
}

int Commands::WriteRange(StreamReader& reader, uint64_t offset, uint64_t length) {
    const std::string what = "read " + reader.RemotePath();
    console::UseBinaryMode(stdout);
    int64_t firstDifference = -1;
    std::vector<unsigned char> data;
    for (uint64_t done = 0; done < length;) {
        uint32_t piece = (uint32_t)std::min<uint64_t>(kReadPiece, length - done);
        StreamRead read = reader.Read(offset + done, piece, &data);
        if (!read.succeeded) {
            return ReportLibraryFailure(what, read.errorCode, read.errorText, "read refused");
        }
        if (fwrite(data.data(), 1, data.size(), stdout) != data.size()) {
            return ReportFailure(kExitLocalFile, what + ": cannot write to standard output");
        }
        if (firstDifference < 0) firstDifference = read.firstDifference;
        done += read.got;
        if (read.got < piece) break;  // the end of the file
    }
    if (fflush(stdout) != 0) {
        return ReportFailure(kExitLocalFile, what + ": cannot write to standard output");
    }
    if (firstDifference < 0) return kExitOk;
    return ReportFailure(kExitMismatch, what + ": differs from " + m_Options.verifyCopy +
                                            " at offset " + std::to_string(firstDifference));
}

int Commands::Play() {
    StreamReader reader(m_Client, m_Pump, Argument(0), ShowsProgress());
    if (!PrepareVerification(&reader)) {
        return ReportFailure(kExitLocalFile, "cannot read " + m_Options.verifyCopy);
    }
    return StreamPlayer(m_Client, reader).Play();
}
