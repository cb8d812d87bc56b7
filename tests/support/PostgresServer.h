// A private PostgreSQL 15 with PostGIS 3 for one test program: a cluster made
// in a scratch folder, listening only on a Unix socket in that folder, run as
// the `postgres` user when the tests run as root (the server refuses root).
// Stop() and Start() again keep the data, so a test can take the database away
// in the middle of a survey. The destructor stops the server and removes the
// folder: nothing is left running.
#pragma once

#include <string>
#include <vector>

class PostgresServer {
public:
    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The first call makes the cluster (a superuser `postgres` without password,
    // a login role `fieldunit` with the password Password(), and a template
    // database with PostGIS); every call starts the server and waits until it
    // answers. False, with Problem() set, when it cannot.
    bool Start();
    // Fast shutdown, waited for (SIGKILL to the postmaster if it will not end).
    bool Stop();
    bool Running() const { return m_running; }

    // A new empty database with PostGIS, owned by `fieldunit`.
    bool CreateDatabase(const std::string& name);
    // libpq connection string for `fieldunit` on database name (no password in
    // it: pass Password(), a wrong one, or use a password file).
    std::string ConnInfo(const std::string& name) const;
    // The same for the superuser.
    std::string AdminConnInfo(const std::string& name) const;
    // Serves TLS on 127.0.0.1 too, with the certificate and key given (PEM
    // files, copied into the server's folder), restarting the server. TCP
    // clients must use TLS and a password.
    bool ServeTls(const std::string& certificate, const std::string& key);
    // libpq connection string for `fieldunit` over TLS as "localhost".
    std::string TlsConnInfo(const std::string& name) const;
    static const char* Password() { return "field-unit-pw"; }
    const std::string& SocketDir() const { return m_dir; }

    // Runs sql as the superuser on database name; the rows, each field joined by
    // '|'. False (Problem() set) on an error.
    bool Query(const std::string& name, const std::string& sql, std::vector<std::string>* rows = nullptr);
    const std::string& Problem() const { return m_problem; }

private:
    bool Init();
    bool RunAsServerUser(const std::vector<std::string>& argv, int timeoutSeconds);

    std::string m_dir;  // scratch folder: data/, the socket, server.log
    int m_port = 5432;  // the socket's, and TCP's once ServeTls moves both to a free one
    bool m_tls = false;
    bool m_made = false;
    bool m_running = false;
    std::string m_problem;
};

// The one server of a test program, started on first use and stopped at exit.
PostgresServer& SharedPostgres();
