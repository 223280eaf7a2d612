// A host built the way hosts of this DLL are usually built: Microsoft C++ ABI
// (clang-cl here), no C run time, linked against the SDK's import library
// ftpclient.lib, so the loader binds the factory when the host starts. It
// takes one object and calls every slot of its table once, with arguments
// the library must refuse or accept without a server. A slot that moved, a
// calling convention that differs (thiscall, callee pops) or a double passed
// the wrong way shows up as a wrong result or a crash; an import library
// that names the export wrongly keeps the host from starting at all.
//
// The interface is declared here, not included: include/IFtpClient.h pulls in
// <windows.h>, which this toolchain does not have for the MSVC target. Its
// slot order is compared with the header by check-slot-order.sh.

typedef struct HWND__* HWND;
typedef void* HANDLE;
typedef struct HINSTANCE__* HMODULE;
typedef unsigned long DWORD;
typedef int BOOL;

extern "C" {
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD stdHandle);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD length,
                                               DWORD* written, void* overlapped);
__declspec(dllimport, noreturn) void __stdcall ExitProcess(unsigned exitCode);
__declspec(dllimport) HWND __stdcall CreateWindowExA(DWORD exStyle, const char* className,
                                                     const char* windowName, DWORD style, int x,
                                                     int y, int width, int height, HWND parent,
                                                     void* menu, HMODULE instance, void* param);
__declspec(dllimport) BOOL __stdcall DestroyWindow(HWND window);

// The compiler references this whenever floating point is used; the C run
// time normally defines it.
int _fltused = 0;
}

struct IFtpClient {
    virtual void Release() = 0;
    virtual int GetSeekFlag() = 0;
    virtual void StopSession() = 0;
    virtual int SetMessageWindow(HWND hWnd) = 0;
    virtual int SetConnectParameter(const char* serverAddress, const char* userName,
                                    const char* password, unsigned short port,
                                    unsigned char overwrite, unsigned char append,
                                    const char* localAddress, unsigned char extraFlag) = 0;
    virtual int SendFile(const char* localPath, const char* remoteName) = 0;
    virtual int DeleteRemoteFile(const char* remotePath) = 0;
    virtual int ReceiveFile(const char* remotePath, const char* localPath) = 0;
    virtual int ReadStream(const char* remotePath, unsigned char* buffer, unsigned int position,
                           unsigned int length, unsigned int* bytesRead) = 0;
    virtual int ReadStreamOnce(const char* remotePath, unsigned char* buffer,
                               unsigned int position, unsigned int length,
                               unsigned int* bytesRead, int attempt) = 0;
    virtual int GetRemoteFileSize(const char* remotePath) = 0;
    virtual int SetBlockSize(unsigned int bytes) = 0;
    virtual char* ListDirectory(const char* directory, const char* pattern) = 0;
    virtual int CreateOrRemoveDirectory(const char* path, unsigned char create) = 0;
    virtual int SetStreamMode(int mode) = 0;
    virtual int SetBufferingMode(int mode) = 0;
    virtual int SetTransferRate(double megabitsPerSecond) = 0;
};

// From ftpclient.lib: the symbol _CreateFtpClientInstance, imported by the
// plain name the DLL exports.
extern "C" __declspec(dllimport) IFtpClient* __cdecl CreateFtpClientInstance(int selector);

namespace {

const DWORD kStdOutput = (DWORD)-11;
HWND const kMessageOnlyParent = (HWND)(long)-3;

// Longer than MAX_PATH (260), so no remote path buffer of the library can take it.
#define TEXT_10 "abcdefghij"
#define TEXT_100 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10 TEXT_10
const char kOverlongRemotePath[] = "/" TEXT_100 TEXT_100 TEXT_100;

int g_failures = 0;
int g_checks = 0;

void Print(const char* text) {
    DWORD length = 0;
    while (text[length] != '\0') ++length;
    DWORD written = 0;
    WriteFile(GetStdHandle(kStdOutput), text, length, &written, nullptr);
}

void PrintNumber(long value) {
    char digits[16];
    int at = sizeof digits - 1;
    digits[at] = '\0';
    unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    Print(digits + at);
}

void Check(const char* what, bool passed) {
    ++g_checks;
    if (!passed) ++g_failures;
    Print(passed ? "PASS " : "FAIL ");
    Print(what);
    Print("\n");
}

[[noreturn]] void Finish() {
    Print("abi host: ");
    PrintNumber(g_checks);
    Print(" checks, ");
    PrintNumber(g_failures);
    Print(" failed\n");
    ExitProcess(g_failures == 0 ? 0 : 1);
}

void CheckSettersAccept(IFtpClient* client, HWND window) {
    Check("GetSeekFlag() == 0 on a fresh object", client->GetSeekFlag() == 0);
    Check("SetMessageWindow(window) == 1", client->SetMessageWindow(window) == 1);
    // Port 1 on loopback refuses at once, so later calls fail fast if they connect.
    Check("SetConnectParameter(127.0.0.1, port 1) == 1",
          client->SetConnectParameter("127.0.0.1", "anonymous", "abi@host", 1, 1, 0, "", 0) == 1);
    Check("SetBlockSize(65536) == 1", client->SetBlockSize(65536) == 1);
    Check("SetStreamMode(1) == 1", client->SetStreamMode(1) == 1);
    Check("SetBufferingMode(1) == 1", client->SetBufferingMode(1) == 1);
    Check("SetTransferRate(100.0) == 1", client->SetTransferRate(100.0) == 1);
    Check("SetTransferRate(0.0) == 0", client->SetTransferRate(0.0) == 0);
    client->StopSession();
    Check("GetSeekFlag() == 0 after StopSession()", client->GetSeekFlag() == 0);
}

void CheckOperationsRefuse(IFtpClient* client) {
    Check("SendFile(missing local file) == 0",
          client->SendFile("C:\\abi-host-no-such-dir\\missing.bin", "missing.bin") == 0);
    Check("DeleteRemoteFile(\"\") == 0", client->DeleteRemoteFile("") == 0);
    Check("ReceiveFile(300-char remote path) == 0",
          client->ReceiveFile(kOverlongRemotePath, "C:\\abi-host-received.bin") == 0);

    unsigned char buffer[64];
    unsigned int bytesRead = 12345;
    int result = client->ReadStream(nullptr, buffer, 0, sizeof buffer, &bytesRead);
    Check("ReadStream(null path) == 0", result == 0);
    Check("ReadStream(null path) sets bytesRead 0", bytesRead == 0);

    bytesRead = 12345;
    result = client->ReadStreamOnce(nullptr, buffer, 0, sizeof buffer, &bytesRead, 0);
    Check("ReadStreamOnce(null path) == 0", result == 0);
    Check("ReadStreamOnce(null path) sets bytesRead 0", bytesRead == 0);

    Check("GetRemoteFileSize(null) == 0", client->GetRemoteFileSize(nullptr) == 0);
    Check("ListDirectory(\"pub\", null) == null (no server)",
          client->ListDirectory("pub", nullptr) == nullptr);
    Check("CreateOrRemoveDirectory(\"/\", 1) == 0", client->CreateOrRemoveDirectory("/", 1) == 0);
}

}  // namespace

extern "C" void start() {
    Check("CreateFtpClientInstance(1) == null", CreateFtpClientInstance(1) == nullptr);
    IFtpClient* client = CreateFtpClientInstance(0);
    Check("CreateFtpClientInstance(0) != null", client != nullptr);
    if (client == nullptr) Finish();

    HWND window = CreateWindowExA(0, "STATIC", "abi host", 0, 0, 0, 0, 0, kMessageOnlyParent,
                                  nullptr, nullptr, nullptr);
    Check("CreateWindowExA(message-only window)", window != nullptr);
    CheckSettersAccept(client, window);
    CheckOperationsRefuse(client);
    client->Release();
    Print("---- Release() returned\n");
    DestroyWindow(window);
    Finish();
}
