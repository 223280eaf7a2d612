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

Commands::Commands(const Options& options, IFtpClient& client, NotificationPump& pump)
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
        return ReportFailure(kExitRefused, what + ": the library refused to start the upload");
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
    int64_t size = -1;
    if (ShowsProgress()) {
        m_Pump.Reset();
        size = m_Client.GetRemoteFileSize(remote.c_str());
        m_Pump.Drain();
        if (m_Pump.ErrorCode() != 0) return ReportFtpError(what, m_Pump.ErrorCode());
    }
    m_Pump.Reset();
    if (m_Client.ReceiveFile(remote.c_str(), local.c_str()) == 0) {
        return ReportFailure(kExitRefused, what +
                                               ": the library refused to start the download "
                                               "(the local file cannot be created?)");
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

int Commands::Judge(bool succeeded, const std::string& what) {
    m_Pump.Drain();
    if (succeeded) return kExitOk;
    return ReportOperationFailure(what, m_Pump.ErrorCode(), "failed");
}

// Without a pattern everything is listed: the library's default "*.*" is a
// wildcard many servers answer with "550 ".
int Commands::List() {
    const std::string directory = Argument(0);
    const std::string pattern = Argument(1);
    m_Pump.Reset();
    const char* listing = m_Client.ListDirectory(directory.c_str(), pattern.c_str());
    m_Pump.Drain();
    if (m_Pump.ErrorCode() != 0) return ReportFtpError("list " + directory, m_Pump.ErrorCode());
    if (listing == nullptr) {
        return ReportFailure(
            kExitRefused, "list " + directory + ": the library refused the directory or pattern");
    }
    fputs(listing, stdout);
    return kExitOk;
}

int Commands::Size() {
    const std::string remote = Argument(0);
    m_Pump.Reset();
    int size = m_Client.GetRemoteFileSize(remote.c_str());
    m_Pump.Drain();
    if (size < 0) {
        return ReportOperationFailure("size " + remote, m_Pump.ErrorCode(),
                                      "no size (no such file?)");
    }
    printf("%d\n", size);
    return kExitOk;
}

int Commands::Delete() {
    const std::string remote = Argument(0);
    m_Pump.Reset();
    return Judge(m_Client.DeleteRemoteFile(remote.c_str()) == 1, "delete " + remote);
}

int Commands::MakeDirectory() {
    const std::string remote = Argument(0);
    m_Pump.Reset();
    return Judge(m_Client.CreateOrRemoveDirectory(remote.c_str(), 1) != 0, "mkdir " + remote);
}

int Commands::RemoveDirectory() {
    const std::string remote = Argument(0);
    m_Pump.Reset();
    return Judge(m_Client.CreateOrRemoveDirectory(remote.c_str(), 0) != 0, "rmdir " + remote);
}

// ---- Stream reading ---------------------------------------------------------------

int Commands::Read() {
    unsigned long long offset = 0;
    unsigned long long length = 0;
    if (!ParseUnsigned(Argument(1), UINT32_MAX, &offset) ||
        !ParseUnsigned(Argument(2), UINT32_MAX, &length)) {
        return ReportFailure(kExitUsage, "read: OFFSET and LENGTH are whole numbers below 4 GiB");
    }
    if (offset + length > (unsigned long long)UINT32_MAX + 1) {
        return ReportFailure(kExitUsage, "read: the range ends beyond 4 GiB");
    }
    StreamReader reader(m_Client, m_Pump, Argument(0), ShowsProgress());
    if (!PrepareVerification(&reader)) {
        return ReportFailure(kExitLocalFile, "cannot read " + m_Options.verifyCopy);
    }
    return WriteRange(reader, (uint32_t)offset, (uint32_t)length);
}

bool Commands::PrepareVerification(StreamReader* reader) const {
    return m_Options.verifyCopy.empty() || reader->VerifyAgainst(m_Options.verifyCopy);
}

int Commands::WriteRange(StreamReader& reader, uint32_t offset, uint32_t length) {
    const std::string what = "read " + reader.RemotePath();
    console::UseBinaryMode(stdout);
    int64_t firstDifference = -1;
    std::vector<unsigned char> data;
    for (uint64_t done = 0; done < length;) {
        uint32_t piece = (uint32_t)std::min<uint64_t>(kReadPiece, length - done);
        m_Pump.Reset();
        StreamRead read = reader.Read((uint32_t)(offset + done), piece, &data);
        if (!read.succeeded) {
            return ReportOperationFailure(what, m_Pump.ErrorCode(), "read refused");
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
    return StreamPlayer(m_Client, m_Pump, reader).Play();
}
