// One connection to a caster, plain TCP or TLS, on a non-blocking socket the
// NTRIP client polls beside its wake event. The name lookup runs on a helper
// thread the client may walk away from, so no lookup ever delays a stop.
//
// TLS is OpenSSL's: a well-kept library Debian carries, already on every
// machine that has libpq; it checks the caster's certificate chain against
// the system's CA store (or a CA file given) and its name or address.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

#include "corrections/NtripReply.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class CCasterConnection {
public:
    enum class Result { Ok, Unreachable, TlsRefused, Stopped };

    CCasterConnection() = default;
    ~CCasterConnection();
    CCasterConnection(const CCasterConnection&) = delete;
    CCasterConnection& operator=(const CCasterConnection&) = delete;

    // Looks the host up, connects and, for ntrips://, shakes hands and checks
    // the certificate. Each step ends within timeout, or as soon as stop is set
    // and wakeFd polls readable. reason says why it failed, in a crew's words.
    Result Open(const NTRIP_URL& url, const std::string& caFile, int wakeFd, const std::atomic<bool>& stop,
                std::chrono::milliseconds timeout, std::string& reason);
    // Bytes read (> 0), 0 when none are there now, -1 when the caster closed
    // or the connection failed.
    ssize_t Read(uint8_t* buffer, size_t size);
    // All of size within 5 s, or false; a stop cuts it short.
    bool WriteAll(const char* data, size_t size, int wakeFd, const std::atomic<bool>& stop);
    // TLS holds decrypted bytes the socket no longer shows.
    bool Pending() const;
    int Fd() const { return m_fd; }
    void Close();

private:
    Result Handshake(const NTRIP_URL& url, const std::string& caFile, int wakeFd, const std::atomic<bool>& stop,
                     std::chrono::steady_clock::time_point deadline, std::string& reason);

    int m_fd = -1;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
};
