// Sizes of the fixed text and data fields shared by client, session and
// workers.
#pragma once

#include <stddef.h>

// Text fields hold at most 259 characters and the terminating NUL.
const size_t kTextFieldSize = 260;
// A reason for a failure, a short sentence (COperationRecord::m_szErrorText).
const size_t kErrorTextSize = 128;
// One receive on the control connection.
const int kControlReceiveSize = 260;
// Bytes of a stream's start kept for reads at offset 0.
const int kHeadBufferSize = 65536;
