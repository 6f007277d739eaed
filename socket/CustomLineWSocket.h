// TCustomLineWSocket: the line-mode layer of the socket chain. It passes everything through
// for now; line mode overrides WndProc, RcvdCount, DoDataAvailable, DoSessionClosed and
// RawReceive when it is added.
#pragma once

#include "socket/CustomSocksWSocket.h"

// The line-mode layer (a pass-through until line mode is added).
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    // Creates the object; see TCustomWSocket.
    TCustomLineWSocket() = default;
};
