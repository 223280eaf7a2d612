#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Platform.h"
#include "TestSupport.h"

namespace {

using plat::BYTE;
using plat::HKEY;
using plat::LONG;

const char kKey[] = "SOFTWARE\\PlatformTest\\Setting\\Bind";

// Each test stores its values under kKey: on Linux in a registry file, on
// Windows in the real registry; the reading side is the same code.
class RegistryTest : public ::testing::Test {
protected:
#ifdef _WIN32
    void StoreValue(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                    &key, nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        ::RegCloseKey(key);
    }
    void TearDown() override {
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PlatformTest\\Setting");
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PlatformTest");
    }
    void StoreDword(const char* name, DWORD value) {
        StoreValue(name, REG_DWORD, &value, sizeof value);
    }
    void StoreString(const char* name, const char* value) {
        StoreValue(name, REG_SZ, value, static_cast<DWORD>(strlen(value) + 1));
    }
    void StoreBinary(const char* name, const std::vector<BYTE>& bytes) {
        StoreValue(name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
#else
    void SetUp() override {
        m_Path = plat_test::UniqueTempPath("registry");
        setenv("FTPCLIENT_REGISTRY", m_Path.c_str(), 1);
        m_Lines = std::string("[HKEY_LOCAL_MACHINE\\") + kKey + "]\n";
    }
    void TearDown() override {
        unsetenv("FTPCLIENT_REGISTRY");
        remove(m_Path.c_str());
    }
    void WriteFile(const std::string& text) {
        std::ofstream file(m_Path, std::ios::trunc);
        file << text;
    }
    void StoreLine(const std::string& line) {
        m_Lines += line + "\n";
        WriteFile(m_Lines);
    }
    void StoreDword(const char* name, DWORD value) {
        char line[128];
        snprintf(line, sizeof line, "\"%s\"=dword:%08x", name, value);
        StoreLine(line);
    }
    void StoreString(const char* name, const char* value) {
        StoreLine(std::string("\"") + name + "\"=\"" + value + "\"");
    }
    void StoreBinary(const char* name, const std::vector<BYTE>& bytes) {
        std::string line = std::string("\"") + name + "\"=hex:";
        for (size_t i = 0; i < bytes.size(); ++i) {
            char item[4];
            snprintf(item, sizeof item, i ? ",%02x" : "%02x", bytes[i]);
            line += item;
        }
        StoreLine(line);
    }
    std::string m_Path;
    std::string m_Lines;
#endif

    HKEY Open(const char* subKey = kKey, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY key = nullptr;
        EXPECT_EQ(plat::RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
        return key;
    }
    LONG OpenResult(const char* subKey) {
        HKEY key = nullptr;
        const LONG result = plat::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key);
        if (result == ERROR_SUCCESS) plat::RegCloseKey(key);
        return result;
    }
};

TEST_F(RegistryTest, ReadsADwordWithItsTypeAndSize) {
    StoreDword("HostIP", 0x0100007f);
    HKEY key = Open();
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(plat::RegQueryValueExA(key, "HostIP", nullptr, &type,
                                     reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(value, 0x0100007fu);
    EXPECT_EQ(plat::RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCase) {
    StoreDword("HostIP", 7);
    HKEY key = Open("software\\platformtest\\SETTING\\bind");
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(plat::RegQueryValueExA(key, "hostip", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, StringSizeCountsTheTerminatingNul) {
    StoreString("Name", "hello");
    HKEY key = Open();
    char text[16] = "xxxxxxxxxxxxxxx";
    DWORD size = sizeof text;
    DWORD type = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(text),
                                     &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(text, "hello");
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataAndTheNeededSize) {
    StoreString("Name", "hello");
    HKEY key = Open();
    BYTE small[3];
    DWORD size = sizeof small;
    DWORD type = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Name", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    size = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Name", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, ReadsThreeBytesOfBinary) {
    StoreBinary("Blob", {0x01, 0xA2, 0xFF});
    HKEY key = Open();
    BYTE data[8] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Blob", nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, 3u);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_EQ(data[1], 0xA2);
    EXPECT_EQ(data[2], 0xFF);
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, AbsentValueAndAbsentKeyAreNotFound) {
    StoreDword("HostIP", 1);
    HKEY key = Open();
    DWORD size = 4;
    BYTE data[4];
    EXPECT_EQ(plat::RegQueryValueExA(key, "Missing", nullptr, nullptr, data, &size),
              ERROR_FILE_NOT_FOUND);
    plat::RegCloseKey(key);
    EXPECT_EQ(OpenResult("SOFTWARE\\PlatformTest\\NoSuchKey"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ParentKeyOpensAndSubkeysOpenRelativeToIt) {
    StoreDword("HostIP", 9);
    HKEY parent = Open("SOFTWARE\\PlatformTest\\Setting");
    HKEY child = Open("Bind", parent);
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(plat::RegQueryValueExA(child, "HostIP", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);
    plat::RegCloseKey(child);
    plat::RegCloseKey(parent);
}

#ifndef _WIN32
std::vector<std::string> g_DebugLines;
void CaptureDebugLine(const char* text) { g_DebugLines.push_back(text); }

TEST_F(RegistryTest, MalformedLinesAreSkippedAndReported) {
    StoreLine("\"BadDword\"=dword:xyz");
    StoreLine("\"TooLong\"=dword:123456789");
    StoreLine("\"BadHex\"=hex:01,2g");
    StoreLine("\"Unclosed\"=\"text");
    StoreLine("no equals sign here");
    StoreDword("Good", 5);
    g_DebugLines.clear();
    plat::SetDebugOutputHookForTesting(CaptureDebugLine);
    HKEY key = Open();
    plat::SetDebugOutputHookForTesting(nullptr);
    EXPECT_EQ(g_DebugLines.size(), 5u);
    DWORD size = 4;
    BYTE data[4];
    for (const char* name : {"BadDword", "TooLong", "BadHex", "Unclosed"}) {
        EXPECT_EQ(plat::RegQueryValueExA(key, name, nullptr, nullptr, data, &size),
                  ERROR_FILE_NOT_FOUND)
            << name;
    }
    EXPECT_EQ(plat::RegQueryValueExA(key, "Good", nullptr, nullptr, data, &size), ERROR_SUCCESS);
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, EscapesCommentsAndTheDefaultValue) {
    WriteFile("Windows Registry Editor Version 5.00\n"
              "; comment\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\PlatformTest\\Setting\\Bind]\r\n"
              "\"Path\"=\"C:\\\\dir \\\"quoted\\\"\"\r\n"
              "@=\"default\"\n");
    HKEY key = Open();
    char text[64] = {};
    DWORD size = sizeof text;
    EXPECT_EQ(plat::RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                                     &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "C:\\dir \"quoted\"");
    size = sizeof text;
    EXPECT_EQ(plat::RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                                     &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "default");
    plat::RegCloseKey(key);
}

TEST_F(RegistryTest, MissingFileMeansNoKeys) {
    EXPECT_EQ(OpenResult(kKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, FileIsReadAgainOnEveryOpen) {
    StoreDword("HostIP", 1);
    HKEY before = Open();
    m_Lines.clear();
    StoreLine(std::string("[HKEY_LOCAL_MACHINE\\") + kKey + "]");
    StoreDword("HostIP", 2);
    HKEY after = Open();
    DWORD value = 0;
    DWORD size = sizeof value;
    plat::RegQueryValueExA(after, "HostIP", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                           &size);
    EXPECT_EQ(value, 2u);
    plat::RegQueryValueExA(before, "HostIP", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                           &size);
    EXPECT_EQ(value, 1u);
    plat::RegCloseKey(before);
    plat::RegCloseKey(after);
}

TEST_F(RegistryTest, ClosedKeyIsAnInvalidHandle) {
    StoreDword("HostIP", 1);
    HKEY key = Open();
    EXPECT_EQ(plat::RegCloseKey(key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(plat::RegQueryValueExA(key, "HostIP", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(plat::RegCloseKey(key), ERROR_INVALID_HANDLE);
}
#endif

}  // namespace
