// The control socket: fieldbook-ctl talks to the running fieldbook through a
// Unix stream socket beside the instance lock in the documents folder, made
// readable and writable by its owner only. One request per connection: the
// command's words, each ended by a NUL byte, then the end of the client's
// writing; the reply is the exit status as one digit, a newline, and the
// reply's text. The running program polls the listening socket from its main
// loop; every wait for a client is bounded, so a client that says nothing
// delays the loop by kControlWaitMs at most.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/CrewCommands.h"

constexpr const char* kControlSocketName = "fieldbook-ctl.sock";
constexpr int kControlWaitMs = 250;
constexpr size_t kControlRequestMax = 8192;

// The socket of the documents folder in force.
std::string ControlSocketPath();

class CControlServer {
public:
    CControlServer() = default;
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // Listens at path, replacing a socket a crashed run left (the caller holds
    // the instance lock, so no running fieldbook owns it). False with the
    // reason when it cannot.
    bool Open(const std::string& path, std::string& error);
    void Close();
    int Fd() const { return m_fd; }
    // Answers every client waiting now; never blocks longer than
    // kControlWaitMs per client.
    void Serve(const std::function<CREW_REPLY(const std::vector<std::string>&)>& run);

private:
    int m_fd = -1;
    std::string m_path;
};

// fieldbook-ctl's side: sends words to the socket at path and waits (bounded,
// waitMs) for the reply. False with error when no fieldbook answers there
// (bNoInstance: nobody listens at path) or the exchange broke.
bool SendControlCommand(const std::string& path, const std::vector<std::string>& words, int waitMs,
                        CREW_REPLY& reply, bool& bNoInstance, std::string& error);
