#include "tests/integration/RealServerKindTest.h"

#include "tests/support/NetworkRelay.h"

namespace realserver {

RealServerKindTest::RealServerKindTest() : m_Server(GetParam()) {}

void RealServerKindTest::SetUp() {
    ASSERT_TRUE(m_Server.Start()) << KindName(GetParam()) << ": " << m_Server.Error();
    if (m_Server.Relay() != nullptr) RecordProperty("relay", m_Server.Relay()->Config().Describe());
    // The library logs in as "ftp" whatever name it is given, unless the
    // greeting names Microsoft.
    m_Client.ConnectTo(m_Server.Port(), "ignored", kPassword);
}

const std::vector<ServerKind>& AllServerKinds() {
    static const std::vector<ServerKind> kinds = {ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                                  ServerKind::Proftpd, ServerKind::PureFtpd};
    return kinds;
}

std::string ServerKindTestName(const testing::TestParamInfo<ServerKind>& info) {
    return EnvironmentName(info.param);
}

void PrintTo(ServerKind kind, std::ostream* out) {
    *out << KindName(kind);
}

std::vector<ServerCase> AllKindsIn(const ServerOptions& options, const std::string& mode) {
    std::vector<ServerCase> rows;
    for (ServerKind kind : AllServerKinds()) rows.push_back(ServerCase{kind, options, mode});
    return rows;
}

std::string ServerCaseTestName(const testing::TestParamInfo<ServerCase>& info) {
    return EnvironmentName(info.param.kind) + "_" + info.param.mode;
}

void PrintTo(const ServerCase& row, std::ostream* out) {
    *out << KindName(row.kind) << " (" << row.options.Describe() << ")";
}

}  // namespace realserver
