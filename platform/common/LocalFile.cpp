// The target-independent part of CFile; both targets keep "no file" as -1
// (a closed descriptor on Linux, INVALID_HANDLE_VALUE on Windows).
#include "LocalFile.h"

namespace plat {

CFile::CFile() : m_hFile(-1) {}

CFile::~CFile() { Close(); }

bool CFile::IsOpen() const { return m_hFile != -1; }

}  // namespace plat
