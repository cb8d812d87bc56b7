#include "support/PostgresServer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/ScratchDir.h"

namespace {

const char kBinDir[] = "/usr/lib/postgresql/15/bin/";
const char kTemplate[] = "fieldbook_gis_template";

// Only the socket in the scratch folder; fsync and the like are off because a
// test cluster need not survive a power cut, only a server stop.
const char kServerSettings[] =
    "\nlisten_addresses = ''\n"
    "port = 5432\n"
    "max_connections = 40\n"
    "fsync = off\n"
    "synchronous_commit = off\n"
    "full_page_writes = off\n"
    "logging_collector = off\n";

// The superuser gets in without a password (the helper itself); every other
// role must give its password, so a wrong one is refused as in an office.
const char kHba[] =
    "local all postgres trust\n"
    "local all all scram-sha-256\n"
    "hostssl all all 127.0.0.1/32 scram-sha-256\n";

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// A test program that dies without its destructors (a sanitizer's abort, a
// crash, ctest's time-out) must still leave no server behind. A watchdog in a
// session of its own holds the read end of a pipe whose write end only this
// process has; when the pipe closes, for whatever reason, it ends the
// postmaster (SIGQUIT: immediate shutdown) and removes the scratch folder.
// After a normal Stop() it finds nothing to end.
void StartWatchdog(const std::string& dir)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const std::string script =
        "cat >/dev/null; pid=$(head -n 1 '" + dir + "data/postmaster.pid' 2>/dev/null); "
        "if [ -n \"$pid\" ] && kill -QUIT \"$pid\" 2>/dev/null; then "
        "i=0; while kill -0 \"$pid\" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; fi; "
        "rm -rf '" + dir + "'";
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::dup2(fds[0], 0); // dup2 clears close-on-exec on the copy
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(fds[0]);
    if (pid < 0)
        ::close(fds[1]);
    // fds[1] stays open until this process ends.
}

} // namespace

PostgresServer::~PostgresServer()
{
    if (m_running)
        Stop();
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

bool PostgresServer::RunAsServerUser(const std::vector<std::string>& argv, int timeoutSeconds)
{
    const passwd* pw = ::getuid() == 0 ? ::getpwnam("postgres") : nullptr;
    if (::getuid() == 0 && pw == nullptr) {
        m_problem = "running as root and there is no postgres user";
        return false;
    }
    const uid_t uid = pw != nullptr ? pw->pw_uid : 0;
    const gid_t gid = pw != nullptr ? pw->pw_gid : 0;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string logPath = m_dir + "tools.log";

    const pid_t pid = ::fork();
    if (pid < 0) {
        m_problem = "fork failed";
        return false;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (pw != nullptr && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            m_problem = argv[0] + " did not finish; see " + logPath;
            return false;
        }
        Sleep(20);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_problem = argv[0] + " failed; see " + logPath + ":\n" + ReadWholeFile(logPath);
        return false;
    }
    return true;
}

bool PostgresServer::Init()
{
    char pattern[] = "/tmp/fieldbook-pg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        m_problem = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    m_dir = std::string(pattern) + "/";
    StartWatchdog(m_dir);
    if (::getuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        if (pw == nullptr || ::chown(m_dir.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            m_problem = "cannot hand the scratch folder to the postgres user";
            return false;
        }
    }
    if (!RunAsServerUser({std::string(kBinDir) + "initdb", "-D", m_dir + "data", "-U", "postgres", "-A", "trust",
                          "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                         120))
        return false;
    {
        std::ofstream conf(m_dir + "data/postgresql.conf", std::ios::app);
        conf << kServerSettings << "unix_socket_directories = " << Quoted(m_dir.substr(0, m_dir.size() - 1)) << "\n";
        std::ofstream hba(m_dir + "data/pg_hba.conf", std::ios::trunc);
        hba << kHba;
        if (!conf || !hba) {
            m_problem = "cannot write the server configuration";
            return false;
        }
    }
    m_made = true;
    return true;
}

bool PostgresServer::Start()
{
    if (m_running)
        return true;
    const bool first = !m_made;
    if (first && !Init())
        return false;
    if (!RunAsServerUser({std::string(kBinDir) + "pg_ctl", "-D", m_dir + "data", "-l", m_dir + "server.log", "-w",
                          "-t", "60", "start"},
                         90))
        return false;
    m_running = true;
    if (first) {
        if (!Query("postgres", std::string("CREATE ROLE fieldunit LOGIN PASSWORD ") + Quoted(Password())) ||
            !Query("postgres", std::string("CREATE DATABASE ") + kTemplate) ||
            !Query(kTemplate, "CREATE EXTENSION postgis"))
            return false;
    }
    return true;
}

bool PostgresServer::Stop()
{
    if (!m_running)
        return true;
    m_running = false;
    if (RunAsServerUser({std::string(kBinDir) + "pg_ctl", "-D", m_dir + "data", "-m", "fast", "-w", "-t", "30", "stop"},
                        45))
        return true;
    // It would not stop in time: end the postmaster (first line of its pid file).
    std::ifstream pidFile(m_dir + "data/postmaster.pid");
    long pid = 0;
    if (!(pidFile >> pid) || pid <= 0)
        return false;
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    for (int i = 0; i < 500 && ::kill(static_cast<pid_t>(pid), 0) == 0; ++i)
        Sleep(20);
    return ::kill(static_cast<pid_t>(pid), 0) != 0;
}

bool PostgresServer::ServeTls(const std::string& certificate, const std::string& key)
{
    if (!Start())
        return false;
    if (!m_tls) {
        // A port the kernel has free now, for TCP and so the socket too.
        m_port = 0;
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof any;
        if (probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&any), &size) == 0)
            m_port = ntohs(any.sin_port);
        if (probe >= 0)
            ::close(probe);
        if (m_port == 0) {
            m_problem = "no free TCP port";
            return false;
        }
    }
    // The server reads its key only when the key is its own and private.
    const passwd* pw = ::getuid() == 0 ? ::getpwnam("postgres") : nullptr;
    std::error_code ec;
    for (const auto& [from, to] : {std::pair{certificate, m_dir + "server.crt"}, std::pair{key, m_dir + "server.key"}}) {
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec || ::chmod(to.c_str(), 0600) != 0 || (pw != nullptr && ::chown(to.c_str(), pw->pw_uid, pw->pw_gid) != 0)) {
            m_problem = "cannot hand " + from + " to the server";
            return false;
        }
    }
    std::ofstream conf(m_dir + "data/postgresql.conf", std::ios::app);
    conf << "ssl = on\nssl_cert_file = " << Quoted(m_dir + "server.crt") << "\nssl_key_file = "
         << Quoted(m_dir + "server.key") << "\nlisten_addresses = '127.0.0.1'\nport = " << m_port << "\n";
    conf.close();
    if (!conf) {
        m_problem = "cannot write the server configuration";
        return false;
    }
    m_tls = true;
    return Stop() && Start();
}

std::string PostgresServer::TlsConnInfo(const std::string& name) const
{
    return "host=localhost hostaddr=127.0.0.1 port=" + std::to_string(m_port) + " dbname=" + Quoted(name) +
           " user=fieldunit connect_timeout=10";
}

std::string PostgresServer::AdminConnInfo(const std::string& name) const
{
    return "host=" + Quoted(m_dir.substr(0, m_dir.size() - 1)) + " port=" + std::to_string(m_port) + " dbname=" + Quoted(name) +
           " user=postgres connect_timeout=10";
}

std::string PostgresServer::ConnInfo(const std::string& name) const
{
    return "host=" + Quoted(m_dir.substr(0, m_dir.size() - 1)) + " port=" + std::to_string(m_port) + " dbname=" + Quoted(name) +
           " user=fieldunit connect_timeout=10";
}

bool PostgresServer::CreateDatabase(const std::string& name)
{
    return Query("postgres", "CREATE DATABASE \"" + name + "\" TEMPLATE " + kTemplate + " OWNER fieldunit");
}

bool PostgresServer::Query(const std::string& name, const std::string& sql, std::vector<std::string>* rows)
{
    PGconn* conn = PQconnectdb(AdminConnInfo(name).c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        m_problem = PQerrorMessage(conn);
        PQfinish(conn);
        return false;
    }
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr); // "does not exist, skipping"
    PGresult* res = PQexec(conn, sql.c_str());
    const ExecStatusType st = PQresultStatus(res);
    const bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    if (!ok)
        m_problem = PQerrorMessage(conn);
    if (ok && rows != nullptr) {
        rows->clear();
        for (int r = 0; r < PQntuples(res); ++r) {
            std::string row;
            for (int c = 0; c < PQnfields(res); ++c) {
                if (c > 0)
                    row += '|';
                row += PQgetvalue(res, r, c);
            }
            rows->push_back(row);
        }
    }
    PQclear(res);
    PQfinish(conn);
    return ok;
}

PostgresServer& SharedPostgres()
{
    static PostgresServer server;
    return server;
}
