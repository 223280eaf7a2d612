// The command line: every option reaches its field, and every kind of bad
// command line is refused with a message that names the culprit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/ftpcli/OptionParser.h"

namespace {

struct Parsed {
    bool ok;
    Options options;
    std::string error;
};

Parsed Parse(std::vector<const char*> words) {
    words.insert(words.begin(), "ftpcli");
    Parsed parsed;
    OptionParser parser;
    parsed.ok = parser.Parse((int)words.size(), words.data(), &parsed.options);
    parsed.error = parser.Error();
    return parsed;
}

void ExpectRefused(std::vector<const char*> words, const std::string& culprit) {
    Parsed parsed = Parse(words);
    EXPECT_FALSE(parsed.ok) << culprit;
    EXPECT_NE(std::string::npos, parsed.error.find(culprit)) << parsed.error;
}

}  // namespace

TEST(OptionParser, EveryOptionReachesItsField) {
    Parsed p = Parse({"--server",    "10.0.0.1|10.0.0.2",
                      "--port=2121", "--user",
                      "u",           "--password",
                      "pw",          "--local-address",
                      "127.0.0.5",   "--overwrite",
                      "--append",    "--extra-flag",
                      "7",           "--rate",
                      "2.5",         "--block-size",
                      "4096",        "--stream-mode",
                      "-1",          "--buffering-mode",
                      "1",           "--timeout",
                      "30",          "--verify",
                      "copy.bin",    "--debug",
                      "--quiet",     "play",
                      "/a.ts"});
    ASSERT_TRUE(p.ok) << p.error;
    const Options& o = p.options;
    EXPECT_EQ("10.0.0.1|10.0.0.2", o.server);
    EXPECT_EQ(2121, o.port);
    EXPECT_EQ("u", o.user);
    EXPECT_EQ("pw", o.password);
    EXPECT_EQ("127.0.0.5", o.localAddress);
    EXPECT_TRUE(o.overwrite && o.append && o.debug && o.quiet);
    EXPECT_EQ(7, o.extraFlag);
    EXPECT_DOUBLE_EQ(2.5, o.rateMbps.value());
    EXPECT_EQ(4096u, o.blockSize.value());
    EXPECT_EQ(-1, o.streamMode.value());
    EXPECT_EQ(1, o.bufferingMode.value());
    EXPECT_EQ(30u, o.timeoutSeconds);
    EXPECT_EQ("copy.bin", o.verifyCopy);
    EXPECT_EQ("play", o.command);
    EXPECT_EQ(std::vector<std::string>{"/a.ts"}, o.arguments);
}

TEST(OptionParser, SettingsNotGivenKeepTheLibraryDefaults) {
    Options options;
    options.password = "from the environment";
    const char* words[] = {"ftpcli", "size", "/a", "--server", "h"};
    OptionParser parser;
    ASSERT_TRUE(parser.Parse(5, words, &options)) << parser.Error();
    EXPECT_EQ("from the environment", options.password);
    EXPECT_EQ(21, options.port);
    EXPECT_EQ("ftp", options.user);
    EXPECT_EQ(1, options.extraFlag);
    EXPECT_FALSE(options.rateMbps || options.blockSize || options.streamMode ||
                 options.bufferingMode);
}

TEST(OptionParser, OptionsAfterTheCommandAndDoubleDash) {
    Parsed p = Parse({"upload", "--server", "h", "--", "-local-", "--remote"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ((std::vector<std::string>{"-local-", "--remote"}), p.options.arguments);
}

// "--password=" is an empty password, not "take the next word".
TEST(OptionParser, EmptyValueAfterEqualsIsTheValue) {
    Options options;
    options.password = "from the environment";
    const char* words[] = {"ftpcli", "--server=h", "--password=", "size", "/a"};
    OptionParser parser;
    ASSERT_TRUE(parser.Parse(5, words, &options)) << parser.Error();
    EXPECT_EQ("", options.password);
    EXPECT_EQ("size", options.command);
    EXPECT_EQ(std::vector<std::string>{"/a"}, options.arguments);
}

TEST(OptionParser, HelpNeedsNoServerAndNamesItsTopic) {
    Parsed tool = Parse({"--help"});
    EXPECT_TRUE(tool.ok && tool.options.showHelp && tool.options.command.empty());
    Parsed viaCommand = Parse({"read", "--help"});
    EXPECT_TRUE(viaCommand.ok && viaCommand.options.showHelp);
    EXPECT_EQ("read", viaCommand.options.command);
    Parsed viaHelp = Parse({"help", "play"});
    EXPECT_TRUE(viaHelp.ok && viaHelp.options.showHelp);
    EXPECT_EQ("play", viaHelp.options.command);
    EXPECT_TRUE(Parse({"--version"}).options.showVersion);
    ExpectRefused({"help", "nosuch"}, "nosuch");
}

TEST(OptionParser, RefusesBadCommandLines) {
    ExpectRefused({}, "no command");
    ExpectRefused({"--server", "h", "fetch", "/a"}, "fetch");
    ExpectRefused({"--server", "h", "--colour", "size", "/a"}, "--colour");
    ExpectRefused({"size", "/a"}, "--server");
    ExpectRefused({"--server", "h", "size"}, "size REMOTE");
    ExpectRefused({"--server", "h", "read", "/a", "0"}, "read REMOTE OFFSET LENGTH");
    ExpectRefused({"--server", "h", "upload", "a", "b", "c"}, "upload LOCAL [REMOTE]");
    ExpectRefused({"--server", "h", "size", "/a", "--port"}, "--port");
    ExpectRefused({"--server", "h", "size", "/a", "--debug=1"}, "debug");
    ExpectRefused({"--server", "h", "--verify", "c", "size", "/a"}, "--verify");
    ExpectRefused({"--server=", "size", "/a"}, "--server");
}

TEST(OptionParser, RefusesNumbersOutOfRangeOrMalformed) {
    const char* const cases[][2] = {
        {"--port", "0"},         {"--port", "65536"},      {"--port", "21x"},
        {"--port", " 21"},       {"--block-size", "-1"},   {"--block-size", "4294967296"},
        {"--extra-flag", "256"}, {"--stream-mode", "1.5"}, {"--rate", "fast"},
        {"--rate", "nan"},       {"--timeout", "0"},       {"--buffering-mode", ""},
    };
    for (const auto& c : cases) {
        ExpectRefused({"--server", "h", c[0], c[1], "size", "/a"},
                      std::string(c[0]) + ": bad value \"" + c[1] + "\"");
    }
}
