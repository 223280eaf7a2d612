// A small host of version 2 of the library's interface (IFtpClient2, from
// CreateFtpClientInstance(2), library 1.1 or later): the full size of a
// remote file, 16 bytes from its middle at a 64-bit position (a film may be
// far larger than 4 GiB), and its folder's whole listing. It needs no
// message window: after a call that failed it asks the library why.
//
//   ftpclient-films SERVER PORT PASSWORD REMOTE
//
// The same source builds on Windows, where IFtpClient.h brings <windows.h>.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "IFtpClient.h"

namespace {

int Failed(IFtpClient2* ftp, const char* what) {
    fprintf(stderr, "%s: %s (code %d)\n", what, ftp->GetLastErrorText(), ftp->GetLastErrorCode());
    ftp->Release();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s SERVER PORT PASSWORD REMOTE\n", argv[0]);
        return 2;
    }
    const std::string remote = argv[4];
    IFtpClient2* ftp = static_cast<IFtpClient2*>(CreateFtpClientInstance(2));
    if (ftp == nullptr) {
        fprintf(stderr, "this ftpclient library is older than 1.1 (no version 2 interface)\n");
        return 1;
    }
    ftp->SetConnectParameter(argv[1], "ftp", argv[3], (unsigned short)atoi(argv[2]),
                             /*overwrite*/ 0, /*append*/ 0, /*local address*/ "", 1);

    long long size = 0;
    if (!ftp->GetRemoteFileSize64(remote.c_str(), &size)) return Failed(ftp, "size");
    printf("size %lld\n", size);

    unsigned char bytes[16];
    unsigned long long position = (unsigned long long)size / 2;
    unsigned int got = 0;
    if (!ftp->ReadStream64(remote.c_str(), bytes, position, sizeof bytes, &got)) {
        return Failed(ftp, "read");
    }
    printf("read %u bytes at %llu:", got, position);
    for (unsigned int i = 0; i < got; ++i) printf(" %02x", bytes[i]);
    printf("\n");
    ftp->StopSession();  // other operations are refused while the stream runs

    // A buffer too small is answered with the size needed; the library keeps
    // the listing for the call that comes with it.
    const std::string folder = remote.substr(0, remote.find_last_of('/') + 1);
    std::vector<char> listing(256);
    unsigned int needed = 0;
    while (!ftp->ListDirectoryAll(folder.c_str(), "", listing.data(), (unsigned int)listing.size(),
                                  &needed)) {
        if (needed == 0) return Failed(ftp, "list");
        listing.resize(needed);
    }
    printf("listing of %s: %u bytes\n%s", folder.c_str(), needed - 1, listing.data());
    ftp->Release();  // the pointer is gone after this
    return 0;
}
