// Stream reading against real FTP servers on loopback, read the way a media
// host reads: consecutive ranges, small jumps both ways, far jumps, reads of
// the file's start and switches between two files, from a seeded generator.
// Every byte of every read is compared with the file, and GetSeekFlag with
// what the reading rules say it must be.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "session/CFtpClientThread.h"
#include "tests/integration/RealServerKindTest.h"
#include "tests/integration/TestHost.h"
#include "tests/integration/TransferTestSupport.h"
#include "workers/CBufferQueue.h"
#include "workers/CStreamThread.h"

using realserver::RealServerKindTest;
using transfertest::NonRepeatingBytes;
using transfertest::WriteWholeFile;

namespace {

const unsigned kBlockSize = 65536;
const unsigned kLongestRead = 65536;

// Reads through a client and checks each read against the file's bytes and
// the seek flag the reading rules predict from the stream's state just
// before the read. The client streams in mode 4: a server whose socket
// buffers hold the rest of the file sends "226 " at a moment the prediction
// cannot see, and in mode 1 the stream would then end by itself between the
// prediction and the read; in mode 4 it ends only once it has received the
// whole file, which the prediction does see.
class StreamChecker {
public:
    StreamChecker(CFtpClient* client, const std::map<std::string, std::string>& files)
        : m_pClient(client), m_Files(files) {
        client->SetStreamMode(4);
    }

    // False once a read went wrong: later reads would only repeat it.
    bool Read(const std::string& path, unsigned position, unsigned length) {
        const std::string& file = m_Files.at(path);
        int expectedFlag = PredictSeekFlag(path, position, length);
        std::string buffer(length, '\0');
        unsigned count = 0;
        int result = m_pClient->ReadStream(path.c_str(), (unsigned char*)&buffer[0], position,
                                           length, &count);
        m_LastPath = path;
        ++m_nReads;
        m_Sessions.insert(m_pClient->m_pSessionThread.load());
        unsigned expectedCount = (unsigned)std::min<size_t>(length, file.size() - position);
        EXPECT_EQ(1, result) << Where(path, position, length) << " error "
                             << m_pClient->m_Operation.m_nErrorCode.load();
        EXPECT_EQ(expectedCount, count) << Where(path, position, length);
        if (result != 1 || count != expectedCount) return false;
        bool same = buffer.compare(0, count, file, position, count) == 0;
        EXPECT_TRUE(same) << "wrong bytes " << Where(path, position, length);
        if (expectedFlag >= 0) {
            EXPECT_EQ(expectedFlag, m_pClient->GetSeekFlag()) << Where(path, position, length);
        }
        return same;
    }

    int Reads() const { return m_nReads; }
    // Session objects seen: more than one means a connection was given up.
    size_t Sessions() const { return m_Sessions.size(); }

private:
    std::string Where(const std::string& path, unsigned position, unsigned length) const {
        return "(read " + std::to_string(m_nReads) + ": " + path + " at " +
               std::to_string(position) + ", " + std::to_string(length) + " bytes)";
    }

    // 1 for a read of the file's start served from the head buffer, for
    // another file than the running stream's, and for another position
    // than the stream's unless the previous read came from the head buffer;
    // otherwise 0. -1 once the running stream has received the file's last
    // byte (its "226 " may come, and the worker leave, just as the read
    // starts).
    int PredictSeekFlag(const std::string& path, unsigned position, unsigned length) {
        CFtpClientThread* session = m_pClient->AcquireSession();
        if (session == nullptr) return 0;
        bool running = false;
        bool atEnd = false;
        {
            plat::ScopedLock lock(session->m_cs);
            CStreamThread* worker = session->StreamWorker();
            running = worker != nullptr && session->m_nOperation.load() == kOperationStream;
            atEnd = worker != nullptr &&
                    (worker->m_bEndOfData.load() != 0 || worker->m_bComplete.load() != 0 ||
                     worker->ReceivedEnd() >= m_Files.at(m_LastPath).size());
        }
        int64_t streamPos = session->m_nStreamPos.load();
        bool headServed = session->m_bHeadServed.load() != 0;
        bool headFull = session->m_nHeadLength.load() == kHeadBufferSize;
        session->ReleaseRef();
        bool sameFile = path == m_LastPath;
        if (position == 0 && sameFile && length <= (unsigned)kHeadBufferSize && headFull) return 1;
        if (atEnd) return -1;
        if (!running) return 0;
        if (!sameFile) return 1;
        if (streamPos == -1 || streamPos == (int64_t)position) return 0;
        return headServed ? 0 : 1;
    }

    CFtpClient* const m_pClient;
    const std::map<std::string, std::string>& m_Files;
    std::string m_LastPath;
    int m_nReads = 0;
    std::set<CFtpClientThread*> m_Sessions;
};

// A host's reading habits, from a seed: mostly on from where it stopped,
// sometimes a little ahead or back, sometimes anywhere, sometimes the
// file's start, sometimes the other file.
class ReadingHabits {
public:
    ReadingHabits(uint32_t seed, const std::map<std::string, std::string>& files)
        : m_Random(seed), m_Files(files), m_Path(files.begin()->first) {}

    // Makes the next read; false once one went wrong.
    bool Next(StreamChecker& checker) {
        size_t size = m_Files.at(m_Path).size();
        unsigned length = Pick(8) == 0 ? 1 + Pick(100) : 1 + Pick(kLongestRead);
        switch (Pick(20)) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
            break;  // on from here
        case 8: case 9: case 10:
            m_nPosition += 1 + Pick(300000);
            break;
        case 11: case 12:
            m_nPosition -= std::min<size_t>(m_nPosition, 1 + Pick(40000));
            break;
        case 13: case 14:
            m_nPosition = Pick((unsigned)size);
            break;
        case 15:
            m_nPosition = size - std::min<size_t>(size, 1 + Pick(200000));  // near the end
            break;
        case 16: case 17:
            m_nPosition = 0;
            length = 1 + Pick(kHeadBufferSize);
            break;
        default:
            m_Path = OtherPath();
            size = m_Files.at(m_Path).size();
            m_nPosition = Pick(2) == 0 ? 0 : Pick((unsigned)size);
            break;
        }
        if (m_nPosition >= size) m_nPosition = size - 1 - Pick(1000);
        if (!checker.Read(m_Path, (unsigned)m_nPosition, length)) return false;
        m_nPosition = std::min(size, m_nPosition + length);
        if (m_nPosition == size) m_nPosition = 0;  // a host starts over at the end
        return true;
    }

private:
    unsigned Pick(unsigned below) { return (unsigned)(m_Random() % below); }
    std::string OtherPath() const {
        for (const auto& entry : m_Files) {
            if (entry.first != m_Path) return entry.first;
        }
        return m_Path;
    }

    std::mt19937 m_Random;
    const std::map<std::string, std::string>& m_Files;
    std::string m_Path;
    size_t m_nPosition = 0;
};

// A sparse file of size holding the marks' bytes at their offsets (zeros
// elsewhere).
void WriteSparseFilm(const std::string& local, uint64_t size,
                     const std::map<uint64_t, std::string>& marks) {
    WriteWholeFile(local, "");
    std::filesystem::resize_file(local, size);
    for (const auto& mark : marks) {
        std::fstream file(local, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((std::streamoff)mark.first);
        file.write(mark.second.data(), (std::streamsize)mark.second.size());
    }
}

class StreamRealServerKinds : public RealServerKindTest {
protected:
    // Writes content under a remote name of the kind's own (under Wine one
    // server serves the whole run) and returns that name; the file goes
    // again when the test ends.
    std::string Serve(const std::string& name, std::string content) {
        std::string path = "/" + realserver::EnvironmentName(GetParam()) + name;
        WriteWholeFile(m_Server.LocalPathOf(path), content);
        m_Served[path] = std::move(content);
        return path;
    }
    const std::map<std::string, std::string>& Served() const { return m_Served; }

    void TearDown() override {
        std::error_code ignored;
        for (const auto& entry : m_Served) {
            std::filesystem::remove(m_Server.LocalPathOf(entry.first), ignored);
        }
    }

private:
    std::map<std::string, std::string> m_Served;
};

}  // namespace

// 64 MiB read through from start to end, then several hundred reads by habit
// over it and a second file, through ten buffers of 64 KiB.
TEST_P(StreamRealServerKinds, LargeFileEveryReadRight) {
    RecordProperty("server", m_Server.ServerName());
    const std::string movie = Serve("-movie.bin", NonRepeatingBytes(64u << 20, 101));
    Serve("-other.bin", NonRepeatingBytes(8u << 20, 102));
    CBufferQueue::ResetBufferCountersForTesting();
    m_Client->SetBlockSize(kBlockSize);
    StreamChecker checker(m_Client.get(), Served());

    const size_t movieSize = Served().at(movie).size();
    for (size_t position = 0; position < movieSize; position += kLongestRead) {
        ASSERT_TRUE(checker.Read(movie, (unsigned)position, kLongestRead));
    }
    ReadingHabits habits(2024, Served());
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(habits.Next(checker));

    EXPECT_LE(CBufferQueue::MostBuffersOfOneQueueForTesting(), CBufferQueue::kMaxBuffers);
    EXPECT_EQ(1u, checker.Sessions());  // no connection given up, no retry
}

// Every kind of server answers a closed transfer in its own way (a "426 "
// line, a statistics line coded 150, replies out of order); many far jumps
// and switches make many of them, and each next stream must go right on the
// same connection.
TEST_P(StreamRealServerKinds, JumpsAndSwitchesOnOneConnection) {
    Serve("-a.bin", NonRepeatingBytes(4u << 20, 103));
    Serve("-b.bin", NonRepeatingBytes(1u << 20, 104));
    CBufferQueue::ResetBufferCountersForTesting();
    m_Client->SetBlockSize(kBlockSize);
    StreamChecker checker(m_Client.get(), Served());
    ReadingHabits habits(7 + (uint32_t)GetParam(), Served());
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(habits.Next(checker));
    EXPECT_EQ(1u, checker.Sessions());
    EXPECT_LE(CBufferQueue::MostBuffersOfOneQueueForTesting(), CBufferQueue::kMaxBuffers);
}

// A film of 4 GiB and 64 MiB (sparse, with marks of known bytes past 2 GiB,
// in the last 64 KiB below 4 GiB and at 4 GiB): every position the interface
// can name is readable, the size query gives the largest int, and far jumps
// back to the start and forward again read right. A read of those last
// 64 KiB leaves the stream at 4 GiB, exactly 2^32 bytes past the start: the
// read at 0 after it must start a transfer, not take the bytes at 4 GiB.
TEST_P(StreamRealServerKinds, BeyondTwoGibibytesEveryMarkRight) {
    const uint64_t fourGiB = (uint64_t)1 << 32;
    const uint64_t size = fourGiB + ((uint64_t)64 << 20);
    const uint64_t lastBelowFourGiB = fourGiB - kLongestRead;
    const std::string path = "/" + realserver::EnvironmentName(GetParam()) + "-film.bin";
    const std::string local = m_Server.LocalPathOf(path);
    const std::map<uint64_t, std::string> marks = {
        {0, NonRepeatingBytes(kLongestRead, 201)},
        {((uint64_t)1 << 31) + 12345, NonRepeatingBytes(kLongestRead, 202)},
        {(uint64_t)3 << 30, NonRepeatingBytes(kLongestRead, 203)},
        {lastBelowFourGiB, NonRepeatingBytes(kLongestRead, 204)},
        {fourGiB, NonRepeatingBytes(kLongestRead, 205)}};
    WriteSparseFilm(local, size, marks);
    EXPECT_EQ(2147483647, m_Client->GetRemoteFileSize(path.c_str()));
    m_Client->SetBlockSize(kBlockSize);
    for (uint64_t position : {lastBelowFourGiB, (uint64_t)0, ((uint64_t)1 << 31) + 12345,
                              (uint64_t)3 << 30, (uint64_t)0, lastBelowFourGiB}) {
        const std::string& expected = marks.at(position);
        std::string buffer(kLongestRead, '\0');
        unsigned count = 0;
        ASSERT_EQ(1, m_Client->ReadStream(path.c_str(), (unsigned char*)&buffer[0], (unsigned)position,
                                          kLongestRead, &count))
            << "at " << position << " error " << m_Client->m_Operation.m_nErrorCode.load();
        ASSERT_EQ(expected.size(), count) << "at " << position;
        EXPECT_TRUE(buffer.compare(0, count, expected) == 0) << "wrong bytes at " << position;
    }
    std::error_code ignored;
    std::filesystem::remove(local, ignored);
}

// A film of 6 GiB (sparse, with marks at 5 GiB, across 4 GiB and near the
// end), read at 64-bit positions: its true size, a read at 5 GiB, jumps
// across 4 GiB both ways, a stream that runs across 4 GiB, the end, and
// every byte of every read compared (zeros between the marks).
TEST_P(StreamRealServerKinds, SixGibibyteFilmReadPastFourGibibytes) {
    const uint64_t gib = (uint64_t)1 << 30;
    const uint64_t size = 6 * gib;
    const std::string path = "/" + realserver::EnvironmentName(GetParam()) + "-film6.bin";
    const std::string local = m_Server.LocalPathOf(path);
    const std::map<uint64_t, std::string> marks = {
        {5 * gib + 777, NonRepeatingBytes(kLongestRead, 211)},
        {4 * gib - kLongestRead / 2, NonRepeatingBytes(kLongestRead, 212)},
        {4 * gib + 3 * kLongestRead, NonRepeatingBytes(kLongestRead, 213)},
        {size - 1000, NonRepeatingBytes(1000, 214)}};
    WriteSparseFilm(local, size, marks);
    auto expected = [&](uint64_t position, unsigned length) {
        uint64_t end = std::min(size, position + length);
        std::string bytes(end - position, '\0');
        for (const auto& mark : marks) {
            uint64_t from = std::max(position, mark.first);
            uint64_t to = std::min(end, mark.first + mark.second.size());
            if (from < to) bytes.replace(from - position, to - from, mark.second, from - mark.first, to - from);
        }
        return bytes;
    };
    long long reported = 0;
    ASSERT_EQ(1, m_Client->GetRemoteFileSize64(path.c_str(), &reported));
    EXPECT_EQ((long long)size, reported);
    m_Client->SetBlockSize(kBlockSize);
    const uint64_t below = 4 * gib - kLongestRead / 2;
    // 5 GiB; back across 4 GiB; on across it in one stream; forward across
    // it far; back below it; the end; the start; 5 GiB again.
    std::vector<uint64_t> positions = {5 * gib + 777, below - 5 * kLongestRead};
    for (uint64_t at = below - 4 * kLongestRead; at < 4 * gib + 5 * kLongestRead; at += kLongestRead) {
        positions.push_back(at);
    }
    for (uint64_t at : {5 * gib + 777 - 1000, below, size - 1000 - 12345, size - 1000, (uint64_t)0,
                        5 * gib + 777}) {
        positions.push_back(at);
    }
    for (uint64_t position : positions) {
        std::string buffer(kLongestRead, '\0');
        unsigned count = 0;
        ASSERT_EQ(1, m_Client->ReadStream64(path.c_str(), (unsigned char*)&buffer[0], position,
                                            kLongestRead, &count))
            << "at " << position << ": " << m_Client->GetLastErrorText();
        std::string want = expected(position, kLongestRead);
        ASSERT_EQ(want.size(), count) << "at " << position;
        EXPECT_TRUE(buffer.compare(0, count, want) == 0) << "wrong bytes at " << position;
    }
    std::error_code ignored;
    std::filesystem::remove(local, ignored);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, StreamRealServerKinds,
                         testing::ValuesIn(realserver::AllServerKinds()),
                         realserver::ServerKindTestName);
