// TWSocket: the socket class users create. Include this header to use the socket layer:
// it brings the whole class chain, the resolution helpers and the library binding.
#pragma once

#include "socket/CustomSyncWSocket.h"

// The published socket class: TCustomWSocket -> TCustomSocksWSocket -> TCustomSslWSocket -> TCustomLineWSocket
// -> TCustomSyncWSocket -> TWSocket. It adds nothing of its own.
class TWSocket : public TCustomSyncWSocket {
public:
    // Creates the object with its hidden window; the socket library is loaded on first use.
    TWSocket() = default;
};
