// TCustomSocksWSocket: the SOCKS 4 / 4A / 5 client layer of the socket chain. It passes
// everything through for now; the negotiation overrides Connect, Listen, the Do... triggers,
// RawReceive and RcvdCount when it is added.
#pragma once

#include "socket/CustomWSocket.h"

// The SOCKS layer (a pass-through until the SOCKS client is added).
class TCustomSocksWSocket : public TCustomWSocket {
public:
    // Creates the object; see TCustomWSocket.
    TCustomSocksWSocket() = default;
};
