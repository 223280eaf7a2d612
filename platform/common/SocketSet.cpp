#include "Platform.h"

namespace plat {

// Beyond the capacity a socket is dropped, as an fd_set of FD_SETSIZE
// entries does on Winsock.
void SocketSet::Add(SOCKET s) {
    if (Contains(s) || m_nCount >= kCapacity) return;
    m_Sockets[m_nCount++] = s;
}

bool SocketSet::Contains(SOCKET s) const {
    for (int i = 0; i < m_nCount; ++i) {
        if (m_Sockets[i] == s) return true;
    }
    return false;
}

void SocketSet::KeepOnly(const bool* keep) {
    int kept = 0;
    for (int i = 0; i < m_nCount; ++i) {
        if (keep[i]) m_Sockets[kept++] = m_Sockets[i];
    }
    m_nCount = kept;
}

}  // namespace plat
