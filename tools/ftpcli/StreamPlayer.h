// The "play" command: reads a remote file the way a media player does
// (PlaybackPlan) and prints one line per read.
#pragma once

#include <stdint.h>

#include <string>

#include "IFtpClient.h"
#include "NotificationPump.h"

struct PlannedRead;
struct StreamRead;
class StreamReader;

class StreamPlayer {
public:
    // reader reads the file to play, and checks it when it has a copy.
    StreamPlayer(IFtpClient& client, NotificationPump& pump, StreamReader& reader);
    int Play();

private:
    void PrintRead(int number, const PlannedRead& planned, const StreamRead& read, int64_t playhead,
                   uint32_t expected);

    IFtpClient& m_Client;
    NotificationPump& m_Pump;
    StreamReader& m_Reader;
};
