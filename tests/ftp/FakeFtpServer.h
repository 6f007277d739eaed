// A scripted FTP server for engine tests: a thread with blocking sockets that plays a script
// (expected command -> canned reply, with split writes, delays, dropped connections and data
// connections) against one client and records the command transcript.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ftptest {

class FakeFtpServer {
public:
    // Listens on 127.0.0.1 on a free port; the script runs after Start().
    FakeFtpServer();
    // Stops the script, closes every connection and joins the thread.
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    // The control port.
    std::uint16_t Port() const { return FPort; }

    // ---- script steps, played in order ----

    // Sends Line + CR LF.
    FakeFtpServer& Reply(const std::string& Line);
    // Sends Bytes exactly as given (one write).
    FakeFtpServer& Send(const std::string& Bytes);
    // Reads one command line (up to CR LF) and records it; Expected "*" accepts anything,
    // otherwise a different line is recorded as an error.
    FakeFtpServer& Expect(const std::string& Expected);
    // Sleeps (cut short when the server is destroyed, so a silent server never holds up
    // the end of a test).
    FakeFtpServer& Delay(int Ms);
    // Closes the control connection (and any data connection) at once.
    FakeFtpServer& Drop();
    // Opens a data listener on 127.0.0.1 and replies "227 Entering Passive Mode (...)";
    // AddressText replaces "127,0,0,1" in the reply when given.
    FakeFtpServer& PasvReply(const std::string& AddressText = "127,0,0,1");
    // Opens a data listener on 127.0.0.1 and replies "229 Entering Extended Passive Mode
    // (|||port|)".
    FakeFtpServer& EpsvReply();
    // Accepts one connection on the data listener.
    FakeFtpServer& DataAccept();
    // Connects to the address and port of the last PORT command, from SourceAddr.
    FakeFtpServer& DataConnectToPort(const std::string& SourceAddr = "127.0.0.1");
    // Writes bytes on the data connection.
    FakeFtpServer& DataSend(const std::string& Bytes);
    // Closes the data connection (orderly).
    FakeFtpServer& DataClose();
    // Reads the data connection until the client closes it; the bytes go to DataReceived().
    FakeFtpServer& DataReceiveAll();
    // Reads the control connection until the client closes it (commands are recorded).
    FakeFtpServer& WaitClientClose();
    // Writes Bytes on the data connection from the offset of the last "REST n" command
    // (from 0 when there was none), as a server resuming a download does.
    FakeFtpServer& DataSendFromRest(const std::string& Bytes);
    // Resets the data connection (RST instead of an orderly close).
    FakeFtpServer& DataReset();
    // Reads Count bytes from the data connection (fewer if it closes first); they go to
    // DataReceived().
    FakeFtpServer& DataReceive(int Count);
    // Closes the control and data connections and accepts the client's next connection;
    // the rest of the script plays on it.
    FakeFtpServer& AcceptAgain();

    // Accepts one control connection and plays the script on a thread.
    void Start();
    // True once the script has been played to its end (or failed).
    bool Done() const { return FDone.load(); }
    // Waits for the end of the script (the client must be driven by the caller's loop).
    bool WaitDone(int TimeoutMs);

    // The command lines received, in order.
    std::vector<std::string> Transcript() const;
    // Bytes received by DataReceiveAll.
    std::string DataReceived() const;
    // Script failures (unexpected commands, time-outs).
    std::vector<std::string> Errors() const;

private:
    struct Step {
        enum Kind { kReply, kSend, kExpect, kDelay, kDrop, kPasv, kDataAccept, kPortConnect, kDataSend,
                    kDataClose, kDataReceiveAll, kWaitClose, kDataReset, kDataReceive, kAcceptAgain, kDataSendFromRest } What;
        std::string Text;
        int Ms = 0;
    };
    void Run();
    bool ReadLine(std::string& Line, int TimeoutMs);
    void Fail(const std::string& Why);
    void CloseAll();

    std::vector<Step> FSteps;
    std::uint16_t FPort = 0;
    int FListen = -1;
    int FControl = -1;
    int FDataListen = -1;
    int FData = -1;
    std::string FPending;   // control bytes read past the last line
    std::thread FThread;
    std::atomic<bool> FDone{false};
    std::atomic<bool> FStop{false};
    mutable std::mutex FLock;
    std::vector<std::string> FTranscript;
    std::string FDataReceived;
    std::vector<std::string> FErrors;
};

// Data for transfer tests that catches an off-by-one anywhere: every byte value, CR LF and
// NUL among them, in a pattern that does not repeat at a power of two.
inline std::string Payload(std::size_t size)
{
    std::string data(size, '\0');
    std::uint32_t x = 2463534242u;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = static_cast<char>(x >> 24);
    }
    return data;
}

} // namespace ftptest
