#include "ProgressDisplay.h"

namespace {

const int kBarWidth = 30;

int Clamp(int percent) {
    return percent < 0 ? 0 : (percent > 100 ? 100 : percent);
}

std::string Bar(int percent) {
    int filled = Clamp(percent) * kBarWidth / 100;
    return "[" + std::string((size_t)filled, '#') + std::string((size_t)(kBarWidth - filled), '.') +
           "]";
}

std::string Percent(int percent) {
    char text[8];
    snprintf(text, sizeof text, "%3d%%", Clamp(percent));
    return text;
}

}  // namespace

ProgressDisplay::ProgressDisplay(FILE* out, bool enabled, const std::string& label,
                                 int64_t totalBytes)
    : m_Out(out),
      m_bEnabled(enabled),
      m_bDrawn(false),
      m_Label(label),
      m_nTotalBytes(totalBytes),
      m_Start(std::chrono::steady_clock::now()) {}

ProgressDisplay::~ProgressDisplay() {
    Finish();
}

void ProgressDisplay::ShowTransfer(int percent) {
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_Start;
    Draw(TransferLine(m_Label, percent, m_nTotalBytes, elapsed.count()));
}

void ProgressDisplay::ShowBuffering(int percent) {
    Draw(BufferingLine(m_Label, percent));
}

void ProgressDisplay::Finish() {
    if (!m_bDrawn) return;
    fputc('\n', m_Out);
    fflush(m_Out);
    m_bDrawn = false;
    m_LastLine.clear();
}

void ProgressDisplay::Clear() {
    if (!m_bDrawn) return;
    fprintf(m_Out, "\r%s\r", std::string(m_LastLine.size(), ' ').c_str());
    fflush(m_Out);
    m_bDrawn = false;
    m_LastLine.clear();
}

// A shorter line than the one before is padded, so no old text remains. A
// line that would not change is not drawn again: notices come by the block.
void ProgressDisplay::Draw(const std::string& line) {
    if (!m_bEnabled || (m_bDrawn && line == m_LastLine)) return;
    std::string padded = line;
    if (padded.size() < m_LastLine.size()) padded.append(m_LastLine.size() - padded.size(), ' ');
    fprintf(m_Out, "\r%s", padded.c_str());
    fflush(m_Out);
    m_LastLine = line;
    m_bDrawn = true;
}

std::string ProgressDisplay::TransferLine(const std::string& label, int percent, int64_t totalBytes,
                                          double elapsedSeconds) {
    std::string line = label + " " + Bar(percent) + " " + Percent(percent);
    int done = Clamp(percent);
    if (done == 0 || elapsedSeconds <= 0) return line;
    if (totalBytes >= 0) line += "  " + Rate(totalBytes * (done / 100.0) / elapsedSeconds);
    if (done < 100) {
        line += "  " + Duration(elapsedSeconds * (100 - done) / done) + " left";
    } else {
        line += "  " + Duration(elapsedSeconds);
    }
    return line;
}

std::string ProgressDisplay::BufferingLine(const std::string& label, int percent) {
    return label + " buffering " + Bar(percent) + " " + Percent(percent);
}

std::string ProgressDisplay::Rate(double bytesPerSecond) {
    static const char* const kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s"};
    size_t unit = 0;
    while (bytesPerSecond >= 1000.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytesPerSecond /= 1000.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 || bytesPerSecond >= 100.0 ? "%.0f %s" : "%.1f %s",
             bytesPerSecond, kUnits[unit]);
    return text;
}

std::string ProgressDisplay::Duration(double seconds) {
    long total = seconds > 0 ? (long)(seconds + 0.5) : 0;
    char text[32];
    if (total >= 3600) {
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    } else {
        snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}
