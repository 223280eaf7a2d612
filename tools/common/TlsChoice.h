// What a tool's --tls, --implicit-tls, --ca-file and --pin-sha256 ask of the
// library, which takes them the way every host does: a scheme before the
// server address, and the trust in the registry's Tls key (on Linux a
// registry file of this process's own; on Windows the machine's registry,
// whose values this run wrote are put back as they were when it exits).
#pragma once

#include <string>

struct TlsChoice {
    bool explicitTls = false;  // --tls
    bool implicitTls = false;  // --implicit-tls
    std::string caFile;        // --ca-file
    std::string pinSha256;     // --pin-sha256
};

// The address with the scheme the choice names ("ftpes://", "ftps://", else
// "ftp://", so that the user name is the one given); an address that has a
// scheme already is left as it is.
std::string AddressWithScheme(const std::string& server, const TlsChoice& choice);

// Makes the library trust choice.caFile and the pin for server (each address
// of "a|b"); nothing when neither is given. False, with the reason in error,
// when the setting could not be written.
bool ApplyTlsTrust(const std::string& server, const TlsChoice& choice, std::string* error);
