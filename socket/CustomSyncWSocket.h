// TCustomSyncWSocket: the synchronous-wait layer of the socket chain. It passes everything
// through for now; WaitForFlag and StartAndWait are added on top of PumpMessages later.
#pragma once

#include "socket/CustomLineWSocket.h"

// The synchronous-wait layer (a pass-through until the wait operations are added).
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    // Creates the object; see TCustomWSocket.
    TCustomSyncWSocket() = default;
};
