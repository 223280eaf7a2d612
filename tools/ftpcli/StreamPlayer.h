// The "play" command: reads a remote file the way a media player does
// (PlaybackPlan) and prints one line per read.
#pragma once

#include <stdint.h>

#include <string>

#include "IFtpClient.h"

struct PlannedRead;
struct StreamRead;
class StreamReader;

class StreamPlayer {
public:
    // reader reads the file to play, and checks it when it has a copy.
    StreamPlayer(IFtpClient2& client, StreamReader& reader);
    int Play();

private:
    void PrintRead(int number, const PlannedRead& planned, const StreamRead& read, int64_t playhead,
                   uint32_t expected);

    IFtpClient2& m_Client;
    StreamReader& m_Reader;
};
