// A host built the way hosts of this DLL are usually built: Microsoft C++ ABI
// (clang-cl here), no C run time, linked against the SDK's import library
// ftpclient.lib, so the loader binds the factory when the host starts. It
// takes one object of each interface version (selectors 0 and 2) and calls
// every slot of its table, with arguments the library must refuse or accept
// without a server. A slot that moved, a calling convention that differs
// (thiscall, callee pops), a double or a 64-bit position passed the wrong
// way shows up as a wrong result or a crash; an import library that names
// the export wrongly keeps the host from starting at all.
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

struct IFtpClient2 : IFtpClient {
    virtual int ReadStream64(const char* remotePath, unsigned char* buffer,
                             unsigned long long position, unsigned int length,
                             unsigned int* bytesRead) = 0;
    virtual int GetRemoteFileSize64(const char* remotePath, long long* size) = 0;
    virtual int ListDirectoryAll(const char* directory, const char* pattern, char* buffer,
                                 unsigned int bufferSize, unsigned int* needed) = 0;
    virtual int GetLastErrorCode() = 0;
    virtual const char* GetLastErrorText() = 0;
};

// From ftpclient.lib: the symbol _CreateFtpClientInstance, imported by the
// plain name the DLL exports.
extern "C" __declspec(dllimport) IFtpClient* __cdecl CreateFtpClientInstance(int selector);

namespace {

const DWORD kStdOutput = (DWORD)-11;
const int kRefused = 9;      // FTPE_REFUSED: refused before reaching the server
const int kNotConnect = 2;   // FTPE_NOTCONNECT: nothing listens on port 1
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

bool SameText(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
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

// Slots 17-21. A position whose two 32-bit halves are both non-zero travels
// on the stack of a thiscall: read as 32 bits, or with its halves swapped,
// it would move length and bytesRead, and the results below would differ
// (or the library would write through a wrong pointer).
void CheckExtendedSlots(IFtpClient2* client) {
    unsigned char buffer[64];
    unsigned int bytesRead = 12345;
    // From 2^63 on a position is refused; its halves swapped it would not be.
    int result = client->ReadStream64("/abi.bin", buffer, 0x8000000100000002ull, sizeof buffer,
                                      &bytesRead);
    Check("ReadStream64(position 0x8000000100000002) == 0", result == 0);
    Check("... sets bytesRead 0", bytesRead == 0);
    Check("... GetLastErrorCode() == FTPE_REFUSED", client->GetLastErrorCode() == kRefused);
    Check("... GetLastErrorText() names the refusal",
          SameText(client->GetLastErrorText(),
                   "The library refused the call: another operation runs on this object, or an "
                   "argument is not valid."));
    // A length above 2^31 - 1 is refused: length arrived as given.
    bytesRead = 12345;
    result = client->ReadStream64("/abi.bin", buffer, 0x0000000100000002ull, 0x80000000u,
                                  &bytesRead);
    Check("ReadStream64(position 0x0000000100000002, length 0x80000000) == 0", result == 0);
    Check("... sets bytesRead 0", bytesRead == 0);
    Check("... GetLastErrorCode() == FTPE_REFUSED", client->GetLastErrorCode() == kRefused);
    // Accepted, it goes to the server, which is not there.
    bytesRead = 12345;
    result = client->ReadStream64("/abi.bin", buffer, 0x0000000100000002ull, sizeof buffer,
                                  &bytesRead);
    Check("ReadStream64(position 0x0000000100000002, length 64) == 0 (no server)", result == 0);
    Check("... sets bytesRead 0", bytesRead == 0);
    Check("... GetLastErrorCode() == FTPE_NOTCONNECT", client->GetLastErrorCode() == kNotConnect);
    Check("... GetLastErrorText() names it",
          SameText(client->GetLastErrorText(), "No connection to the server could be made or kept."));

    long long size = 12345;
    Check("GetRemoteFileSize64(null, &size) == 0", client->GetRemoteFileSize64(nullptr, &size) == 0);
    Check("... sets size -1", size == -1);
    Check("... GetLastErrorCode() == FTPE_REFUSED", client->GetLastErrorCode() == kRefused);
    size = 12345;
    Check("GetRemoteFileSize64(\"/abi.bin\", &size) == 0 (no server)",
          client->GetRemoteFileSize64("/abi.bin", &size) == 0);
    Check("... sets size -1", size == -1);
    Check("... GetLastErrorCode() == FTPE_NOTCONNECT", client->GetLastErrorCode() == kNotConnect);

    char listing[32];
    unsigned int needed = 12345;
    Check("ListDirectoryAll(\"pub\", ...) == 0",
          client->ListDirectoryAll("pub", "", listing, sizeof listing, &needed) == 0);
    Check("... sets needed 0", needed == 0);
    Check("... GetLastErrorCode() == FTPE_REFUSED", client->GetLastErrorCode() == kRefused);
    needed = 12345;
    Check("ListDirectoryAll(\"/\", \"\", null, 16, &needed) == 0",
          client->ListDirectoryAll("/", "", nullptr, 16, &needed) == 0);
    Check("... sets needed 0", needed == 0);
    needed = 12345;
    Check("ListDirectoryAll(\"/\", \"\", buffer, 32, &needed) == 0 (no server)",
          client->ListDirectoryAll("/", "", listing, sizeof listing, &needed) == 0);
    Check("... sets needed 0", needed == 0);
    Check("... GetLastErrorCode() == FTPE_NOTCONNECT", client->GetLastErrorCode() == kNotConnect);
    Check("GetSeekFlag() == 0, then GetLastErrorCode() == 0",
          client->GetSeekFlag() == 0 && client->GetLastErrorCode() == 0);
    Check("GetLastErrorText() == \"No error.\"", SameText(client->GetLastErrorText(), "No error."));
}

}  // namespace

extern "C" void start() {
    Check("CreateFtpClientInstance(1) == null", CreateFtpClientInstance(1) == nullptr);
    Check("CreateFtpClientInstance(3) == null", CreateFtpClientInstance(3) == nullptr);
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

    // Version 2: the same 17 slots, then five more.
    IFtpClient2* extended = (IFtpClient2*)CreateFtpClientInstance(2);
    Check("CreateFtpClientInstance(2) != null", extended != nullptr);
    if (extended == nullptr) Finish();
    CheckSettersAccept(extended, window);
    CheckOperationsRefuse(extended);
    CheckExtendedSlots(extended);
    extended->Release();
    Print("---- Release() of the version 2 object returned\n");
    DestroyWindow(window);
    Finish();
}
