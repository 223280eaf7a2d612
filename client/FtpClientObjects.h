// The objects the factory gives hosts. Each is its interface first and the
// client second: the interface's table is the object's first table, its
// slots call the client's operations, and the object's destructor follows
// the interface's slots. So selector 0's object has the 17 slots and its
// destructor in slot 17, as the design has it, and selector 2's object the
// 22 slots of IFtpClient2 and its destructor after them.
#pragma once

#include "client/CFtpClient.h"

// The 17 slots of IFtpClient, for either interface.
template <class Interface>
class CFtpClientSlots : public Interface, public CFtpClient {
public:
    CFtpClientSlots() : CFtpClient(static_cast<IFtpClient*>(this)) {}

    void Release() override { CFtpClient::Release(); }
    int GetSeekFlag() override { return CFtpClient::GetSeekFlag(); }
    void StopSession() override { CFtpClient::StopSession(); }
    int SetMessageWindow(HWND hWnd) override { return CFtpClient::SetMessageWindow(hWnd); }
    int SetConnectParameter(const char* serverAddress, const char* userName,
                            const char* password, unsigned short port, unsigned char overwrite,
                            unsigned char append, const char* localAddress,
                            unsigned char extraFlag) override {
        return CFtpClient::SetConnectParameter(serverAddress, userName, password, port, overwrite,
                                               append, localAddress, extraFlag);
    }
    int SendFile(const char* localPath, const char* remoteName) override {
        return CFtpClient::SendFile(localPath, remoteName);
    }
    int DeleteRemoteFile(const char* remotePath) override {
        return CFtpClient::DeleteRemoteFile(remotePath);
    }
    int ReceiveFile(const char* remotePath, const char* localPath) override {
        return CFtpClient::ReceiveFile(remotePath, localPath);
    }
    int ReadStream(const char* remotePath, unsigned char* buffer, unsigned int position,
                   unsigned int length, unsigned int* bytesRead) override {
        return CFtpClient::ReadStream(remotePath, buffer, position, length, bytesRead);
    }
    int ReadStreamOnce(const char* remotePath, unsigned char* buffer, unsigned int position,
                       unsigned int length, unsigned int* bytesRead, int attempt) override {
        return CFtpClient::ReadStreamOnce(remotePath, buffer, position, length, bytesRead,
                                          attempt);
    }
    int GetRemoteFileSize(const char* remotePath) override {
        return CFtpClient::GetRemoteFileSize(remotePath);
    }
    int SetBlockSize(unsigned int bytes) override { return CFtpClient::SetBlockSize(bytes); }
    char* ListDirectory(const char* directory, const char* pattern) override {
        return CFtpClient::ListDirectory(directory, pattern);
    }
    int CreateOrRemoveDirectory(const char* path, unsigned char create) override {
        return CFtpClient::CreateOrRemoveDirectory(path, create);
    }
    int SetStreamMode(int mode) override { return CFtpClient::SetStreamMode(mode); }
    int SetBufferingMode(int mode) override { return CFtpClient::SetBufferingMode(mode); }
    int SetTransferRate(double megabitsPerSecond) override {
        return CFtpClient::SetTransferRate(megabitsPerSecond);
    }
};

// Selector 0.
class CFtpClientObject : public CFtpClientSlots<IFtpClient> {
public:
    // Slot 17.
    ~CFtpClientObject() override {}
};

// Selector 2.
class CFtpClientObject2 : public CFtpClientSlots<IFtpClient2> {
public:
    int ReadStream64(const char* remotePath, unsigned char* buffer, unsigned long long position,
                     unsigned int length, unsigned int* bytesRead) override {
        return CFtpClient::ReadStream64(remotePath, buffer, position, length, bytesRead);
    }
    int GetRemoteFileSize64(const char* remotePath, long long* size) override {
        return CFtpClient::GetRemoteFileSize64(remotePath, size);
    }
    int ListDirectoryAll(const char* directory, const char* pattern, char* buffer,
                         unsigned int bufferSize, unsigned int* needed) override {
        return CFtpClient::ListDirectoryAll(directory, pattern, buffer, bufferSize, needed);
    }
    int GetLastErrorCode() override { return CFtpClient::GetLastErrorCode(); }
    const char* GetLastErrorText() override { return CFtpClient::GetLastErrorText(); }
    // After slot 21.
    ~CFtpClientObject2() override {}
};
