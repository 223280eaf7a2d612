#include "StreamReader.h"

#include <chrono>

StreamReader::StreamReader(IFtpClient2& client, NotificationPump& pump,
                           const std::string& remotePath, bool showBuffering)
    : m_Client(client),
      m_Pump(pump),
      m_RemotePath(remotePath),
      m_Buffering(stderr, showBuffering, remotePath, -1),
      m_bVerifying(false) {
    m_Pump.OnBuffering([this](int percent) { m_Buffering.ShowBuffering(percent); });
}

StreamReader::~StreamReader() {
    m_Pump.OnBuffering(nullptr);
}

bool StreamReader::VerifyAgainst(const std::string& path) {
    m_bVerifying = m_Copy.Open(path);
    return m_bVerifying;
}

// The outcome is asked on the thread that read: the library keeps it per
// thread.
StreamRead StreamReader::Read(uint64_t position, uint32_t length,
                              std::vector<unsigned char>* data) {
    data->assign(length, 0);
    StreamRead read = {};
    unsigned int got = 0;
    auto start = std::chrono::steady_clock::now();
    int result = m_Pump.RunWhilePumping([&] {
        int readResult =
            m_Client.ReadStream64(m_RemotePath.c_str(), data->data(), position, length, &got);
        if (readResult == 0) {
            read.errorCode = m_Client.GetLastErrorCode();
            read.errorText = m_Client.GetLastErrorText();
        }
        return readResult;
    });
    std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    m_Buffering.Clear();
    // A library that reports more than was asked for must not make the
    // tool read past its buffer.
    read.got = got <= length ? got : length;
    data->resize(read.got);
    read.succeeded = result != 0;
    read.seekFlag = m_Client.GetSeekFlag();
    read.milliseconds = elapsed.count();
    read.firstDifference =
        m_bVerifying ? m_Copy.FirstDifference(position, length, data->data(), read.got) : -1;
    return read;
}
