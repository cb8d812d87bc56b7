// A small NTRIP caster on loopback for what a real one is not made to do on
// cue: each connection is answered by a script (reply head, body sent whole or
// chunked at a pace, then held open or closed), and what the client sent (its
// requests, the GGA lines after them) is kept for the test. Given a certificate
// and its key it speaks TLS (an ntrips:// caster).
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
        bool afterGga = false;  // the body waits for the client's GGA (a VRS)
    };
    // Called for connection n (0, 1, ...) with the request head.
    using Script = std::function<REPLY(int n, const std::string& request)>;

    struct TLS {
        std::string certificate; // PEM files
        std::string key;
    };
    explicit NtripCaster(Script script, TLS tls = {});
    // Makes in dir a CA (ca.crt) and two certificates it signed:
    // caster.crt/.key for 127.0.0.1 and localhost, elsewhere.crt/.key for
    // elsewhere.example only. False, with openssl's words in dir/openssl.log.
    static bool MakeCertificates(const std::string& dir);
    ~NtripCaster();
    NtripCaster(const NtripCaster&) = delete;
    NtripCaster& operator=(const NtripCaster&) = delete;

    int Port() const { return m_port; }
    int Connections() const { return m_connections.load(); }
    std::vector<std::string> Requests() const;
    // When each connection was accepted.
    std::vector<std::chrono::steady_clock::time_point> Accepted() const;
    // Bytes the client sent after its request heads, all connections.
    std::string Upstream() const;

private:
    void Run();
    void Serve(int fd, int n);
    bool Stopping() const { return m_bStop.load(); }

    Script m_script;
    TLS m_tls;
    void* m_ctx = nullptr; // SSL_CTX
    std::vector<std::chrono::steady_clock::time_point> m_accepted;
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
