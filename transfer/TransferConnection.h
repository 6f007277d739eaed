// One engine of the transfer queue with its own login (private to the queue's sources).
#pragma once

#include "ftp/FtpClient.h"
#include "platform/MessageWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace transfer {

class TTransferQueue;

// The queue's hidden window: one posted message runs the scheduler.
class TQueueWindow : public platform::MessageWindow {
public:
    explicit TQueueWindow(TTransferQueue* Owner) : FOwner(Owner) {}

protected:
    void WndProc(platform::TMessage& Msg) override;

private:
    TTransferQueue* FOwner;
};

constexpr std::uint32_t WM_QUEUE_SCHEDULE = platform::WM_USER + 40;

// An engine, where it stands, and the one request it runs for the queue.
struct TConnection {
    enum TStatus { csConnecting, csReady, csBusy, csClosed };

    TConnection();
    ~TConnection();

    // Starts an engine request; Done gets its result once, from the event loop. A request
    // that the engine refuses at once ends with 421 and the refusal as reply.
    void Run(const std::function<void(TFtpClient&)>& Start, std::function<void(std::uint16_t)> Done);
    // The engine's reply of the last failure: the first failing line, else the last line.
    std::string Reply() const;
    // True while the control connection stands.
    bool Up() const { return Ftp->Connected() && Ftp->ControlOpen(); }

    std::unique_ptr<TFtpClient> Ftp;
    TStatus Status = csConnecting;
    int Number = 0;
    std::uint64_t Item = 0;           // the item it works on (0: none)
    int TypeBinary = -1;              // transfer type set on the session (-1: not known)
    std::string Home;                 // the login folder (relative paths start there)
    std::string ListingFile;          // where LIST answers go
    std::function<void(std::uint16_t)> Done;
    std::uint64_t RunSerial = 0;
    std::string RefusedText;
    std::shared_ptr<bool> Alive = std::make_shared<bool>(true);
};

} // namespace transfer
