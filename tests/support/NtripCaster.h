// A small NTRIP caster on loopback for what a real one is not made to do on
// cue: each connection is answered by a script (reply head, body sent whole or
// chunked at a pace, then held open or closed), and what the client sent (its
// requests, the GGA lines after them) is kept for the test.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class NtripCaster {
public:
    struct REPLY {
        std::string head;       // "" closes the connection at once (a caster down)
        std::string body;
        size_t piece = 0;       // 0: the body at once; else pieces of this size...
        bool chunked = false;   // ...each an HTTP chunk
        std::chrono::milliseconds pace{0}; // between pieces
        bool holdOpen = true;   // after the body, until the client goes
    };
    // Called for connection n (0, 1, ...) with the request head.
    using Script = std::function<REPLY(int n, const std::string& request)>;

    explicit NtripCaster(Script script);
    ~NtripCaster();
    NtripCaster(const NtripCaster&) = delete;
    NtripCaster& operator=(const NtripCaster&) = delete;

    int Port() const { return m_port; }
    int Connections() const { return m_connections.load(); }
    std::vector<std::string> Requests() const;
    // Bytes the client sent after its request heads, all connections.
    std::string Upstream() const;

private:
    void Run();
    void Serve(int fd, int n);
    bool Stopping() const { return m_bStop.load(); }

    Script m_script;
    int m_listen = -1;
    int m_port = 0;
    int m_stopPipe[2] = {-1, -1};
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::string m_upstream;
    std::thread m_thread;
};
