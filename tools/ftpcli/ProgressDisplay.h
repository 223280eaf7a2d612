// One status line on a terminal, redrawn in place: the progress bar of a
// transfer with its rate and time left, or the fill level of a stream's
// buffers. Disabled, it draws nothing (output that is not a terminal).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <string>

class ProgressDisplay {
public:
    // totalBytes: the transfer's size, or -1 when unknown (then no rate).
    ProgressDisplay(FILE* out, bool enabled, const std::string& label, int64_t totalBytes);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void ShowTransfer(int percent);
    void ShowBuffering(int percent);
    // Ends the status line, leaving the last state visible.
    void Finish();
    // Erases the status line, so that other output can take its place.
    void Clear();

    // The line for percent done of totalBytes after elapsedSeconds.
    static std::string TransferLine(const std::string& label, int percent, int64_t totalBytes,
                                    double elapsedSeconds);
    static std::string BufferingLine(const std::string& label, int percent);
    // "1.5 MB/s", "820 kB/s", "12 B/s" (decimal units).
    static std::string Rate(double bytesPerSecond);
    // "m:ss", or "h:mm:ss" from one hour on.
    static std::string Duration(double seconds);

private:
    void Draw(const std::string& line);

    FILE* m_Out;
    bool m_bEnabled;
    bool m_bDrawn;
    std::string m_Label;
    int64_t m_nTotalBytes;
    std::string m_LastLine;
    std::chrono::steady_clock::time_point m_Start;
};
