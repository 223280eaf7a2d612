#include "ClientHandle.h"

ClientHandle::ClientHandle() : m_pClient(static_cast<IFtpClient2*>(CreateFtpClientInstance(2))) {}

ClientHandle::~ClientHandle() {
    if (m_pClient != nullptr) m_pClient->Release();
}

bool ClientHandle::Configure(const Options& o, HWND window, std::string* refused) {
    // In this order, each only when given; the first refusal ends the set-up.
    auto call = [refused](bool given, const char* name, auto setter) {
        if (refused->empty() && given && setter() == 0) *refused = name;
    };
    refused->clear();
    std::string trustError;
    if (!ApplyTlsTrust(o.server, o.tls, &trustError)) {
        *refused = "the TLS settings (" + trustError + ")";
        return false;
    }
    const std::string address = AddressWithScheme(o.server, o.tls);
    call(true, "the message window", [&] { return m_pClient->SetMessageWindow(window); });
    call(true, "the connection parameters", [&] {
        return m_pClient->SetConnectParameter(address.c_str(), o.user.c_str(), o.password.c_str(),
                                              o.port, o.overwrite ? 1 : 0, o.append ? 1 : 0,
                                              o.localAddress.c_str(), o.extraFlag);
    });
    call(o.blockSize.has_value(), "--block-size",
         [&] { return m_pClient->SetBlockSize(*o.blockSize); });
    call(o.streamMode.has_value(), "--stream-mode",
         [&] { return m_pClient->SetStreamMode(*o.streamMode); });
    call(o.bufferingMode.has_value(), "--buffering-mode",
         [&] { return m_pClient->SetBufferingMode(*o.bufferingMode); });
    call(o.rateMbps.has_value(), "--rate", [&] { return m_pClient->SetTransferRate(*o.rateMbps); });
    return refused->empty();
}
