// Base of the tests that run against each kind of real FTP server: the
// server of the test's kind, started for the test (on Windows: the one the
// run announced), and a client pointed at it. A suite derives from it and
// is instantiated over the kinds:
//
//   class MySuite : public realserver::RealServerKindTest {};
//   TEST_P(MySuite, Something) { ... m_Server ... m_Client ... }
//   INSTANTIATE_TEST_SUITE_P(AllKinds, MySuite,
//                            testing::ValuesIn(realserver::AllServerKinds()),
//                            realserver::ServerKindTestName);
//
// Under Wine one server per kind serves the whole run: a test uses names of
// its own and removes what it made.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/integration/RealFtpServer.h"
#include "tests/integration/TestHost.h"

namespace realserver {

class RealServerKindTest : public testing::TestWithParam<ServerKind> {
protected:
    RealServerKindTest();
    // Fails the test (never skips it) when the server cannot be had.
    void SetUp() override;

    bool IsKind(ServerKind kind) const { return GetParam() == kind; }

    RealFtpServer m_Server;
    testhost::Client m_Client;
};

const std::vector<ServerKind>& AllServerKinds();
// "PYFTPDLIB", "VSFTPD", ...: the parameter's part of the test name.
std::string ServerKindTestName(const testing::TestParamInfo<ServerKind>& info);
// Shows the kind by name in GoogleTest's messages.
void PrintTo(ServerKind kind, std::ostream* out);

// A row of a suite over kinds and server modes (TLS, the named account):
//
//   class MyTlsSuite : public testing::TestWithParam<realserver::ServerCase> {};
//   TEST_P(MyTlsSuite, Something) {
//       realserver::RealFtpServer server(GetParam().kind, GetParam().options);
//       START_REAL_SERVER_OR_SKIP(server);
//       ...
//   }
//   INSTANTIATE_TEST_SUITE_P(Explicit, MyTlsSuite,
//                            testing::ValuesIn(realserver::AllKindsIn(explicitTls, "Explicit")),
//                            realserver::ServerCaseTestName);
struct ServerCase {
    ServerKind kind;
    ServerOptions options;
    // The mode's part of the test name: letters and digits only.
    std::string mode;
};
std::vector<ServerCase> AllKindsIn(const ServerOptions& options, const std::string& mode);
// "VSFTPD_Explicit".
std::string ServerCaseTestName(const testing::TestParamInfo<ServerCase>& info);
void PrintTo(const ServerCase& row, std::ostream* out);

}  // namespace realserver
