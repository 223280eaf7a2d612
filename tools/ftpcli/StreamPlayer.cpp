#include "StreamPlayer.h"

#include <stdio.h>

#include <vector>

#include "ExitStatus.h"
#include "PlaybackPlan.h"
#include "SeekSource.h"
#include "StreamReader.h"

namespace {

uint32_t ExpectedLength(int64_t fileSize, const PlannedRead& planned) {
    int64_t remaining = fileSize - (int64_t)planned.position;
    if (remaining <= 0) return 0;
    return remaining < planned.length ? (uint32_t)remaining : planned.length;
}

}  // namespace

StreamPlayer::StreamPlayer(IFtpClient2& client, StreamReader& reader)
    : m_Client(client), m_Reader(reader) {}

// The size comes first, as with a player: the library plans its buffering
// with it, and the plan needs it.
int StreamPlayer::Play() {
    const std::string& remotePath = m_Reader.RemotePath();
    const std::string what = "play " + remotePath;
    long long size = -1;
    if (m_Client.GetRemoteFileSize64(remotePath.c_str(), &size) == 0) {
        return ReportLibraryFailure(what, m_Client.GetLastErrorCode(), m_Client.GetLastErrorText(),
                                    "no size for the file (no such file?)");
    }

    printf("%s: %lld bytes\n", remotePath.c_str(), size);
    printf("%4s  %-10s %10s %8s %8s %4s %8s  %s\n", "read", "step", "position", "length", "got",
           "flag", "ms", "source");
    bool allRight = true;
    int64_t playhead = 0;
    int number = 0;
    std::vector<unsigned char> data;
    for (const PlannedRead& planned : PlaybackPlan::For(size)) {
        StreamRead read = m_Reader.Read(planned.position, planned.length, &data);
        uint32_t expected = ExpectedLength(size, planned);
        PrintRead(++number, planned, read, playhead, expected);
        if (!read.succeeded) {
            return ReportLibraryFailure(what, read.errorCode, read.errorText, "read refused");
        }
        allRight = allRight && read.got == expected && read.firstDifference < 0;
        playhead = (int64_t)planned.position + read.got;
    }
    if (allRight) return kExitOk;
    return ReportFailure(kExitMismatch, what + ": some reads differ from what the file holds");
}

void StreamPlayer::PrintRead(int number, const PlannedRead& planned, const StreamRead& read,
                             int64_t playhead, uint32_t expected) {
    std::string remark;
    if (!read.succeeded) {
        remark = "  FAILED";
    } else if (read.got != expected) {
        remark = "  WRONG LENGTH, " + std::to_string(expected) + " expected";
    }
    if (read.firstDifference >= 0) remark += "  DIFFERS at " + std::to_string(read.firstDifference);
    printf("%4d  %-10s %10llu %8u %8u %4d %8.1f  %s%s\n", number, planned.step,
           (unsigned long long)planned.position, planned.length, read.got, read.seekFlag,
           read.milliseconds,
           SeekSource::Describe(read.seekFlag, planned.position, planned.length, playhead).c_str(),
           remark.c_str());
    fflush(stdout);
}
