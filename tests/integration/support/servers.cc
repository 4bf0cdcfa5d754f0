// servers.cc: the servers of servers.h. Every one is started by start_server (a free port, the
// configuration written for it, the command spawned, the port polled every 10 ms) and stopped
// by stop_server; the classes differ only in their configuration and their logs.
#include "integration/support/servers.h"

#include <csignal>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const int POLL_MS = 10;
const int START_MS = 10000;

// Writes the configuration of a server for `port` and sets *argv to its command; false, with
// *why set, when it cannot.
using Configure = std::function<bool(uint16_t port, std::vector<std::string> *argv, std::string *why)>;

// Stops the server *child by its PID: SIGTERM, 5 s for it to end, then SIGKILL; reaps it.
void stop_server(const std::string &name, pid_t *child)
{
    if (!*child)
        return;
    pid_t pid = *child;
    *child = 0;
    int status = 0;
    kill(pid, SIGTERM);
    if (wait_exit(pid, 5000, &status))
        return;
    if (!kill_and_reap(pid, &status))
        ADD_FAILURE() << name << " (pid " << pid << ") did not end after SIGKILL";
}

// Starts a server, its standard output and error appended to `out_path`, in `cwd`, with the
// test's environment changed by `env` (as child_environment), and waits (10 s at most) until
// its port answers. A server that ends because it could not bind is started again on another
// port, three times at most. On failure *why holds the reason and `logs()`.
bool start_server(const std::string &name, const Configure &configure, const std::string &cwd,
                  const std::string &out_path, const std::function<std::string()> &logs,
                  const std::vector<std::string> &env, uint16_t *port, pid_t *child, std::string *why)
{
    why->clear();
    for (int attempt = 0; attempt < 3; attempt++) {
        *port = free_port();
        std::vector<std::string> argv;
        if (!configure(*port, &argv, why))
            return false;
        *child = spawn(argv, child_environment(env), out_path, out_path, cwd, why);
        if (!*child)
            return false;
        long long deadline = now_ms() + START_MS;
        for (;;) {
            int status = 0;
            if (waitpid(*child, &status, WNOHANG) == *child) {
                *child = 0;
                break;
            }
            if (port_answers(*port))
                return true;
            if (now_ms() >= deadline) {
                stop_server(name, child);
                *why = name + " did not answer on port " + std::to_string(*port) + " within " +
                       std::to_string(START_MS / 1000) + " s; its log:\n" + logs();
                return false;
            }
            sleep_ms(POLL_MS);
        }
        *why = name + " ended at start-up; its log:\n" + logs();
        // tinyproxy says only that it could not listen.
        if (why->find("already in use") == std::string::npos &&
            why->find("Could not create listening sockets") == std::string::npos)
            return false;
    }
    return false;
}

bool write_config(const std::string &path, const std::string &text, std::string *why)
{
    if (write_file(path, text))
        return true;
    *why = "cannot write " + path;
    return false;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::string loopback_url(const char *scheme, uint16_t port, const std::string &path)
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + path;
}

} // namespace

Certificate::Certificate(Name name)
    : work("cert"), name(name), cert(work.at("cert.pem")), key(work.at("key.pem")), hashed(work.at("capath"))
{
}

bool Certificate::make()
{
    why.clear();
    std::string log = work.at("openssl.log");
    std::vector<std::string> req = {"openssl", "req",     "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                                    "2",       "-keyout", key,     "-out",    cert,       "-subj"};
    if (name == LOCALHOST) {
        req.insert(req.end(), {"/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    } else {
        req.push_back("/CN=wronghost");
    }
    if (run_helper(req, log) != 0) {
        why = "openssl req failed:\n" + file_text(log);
        return false;
    }
    if (!make_dirs(hashed) || !write_file(hashed + "/cert.pem", file_text(cert))) {
        why = "cannot fill " + hashed;
        return false;
    }
    if (run_helper({"openssl", "rehash", hashed}, log) != 0) {
        why = "openssl rehash failed:\n" + file_text(log);
        return false;
    }
    return true;
}

ServerProcess::~ServerProcess()
{
    stop();
}

void ServerProcess::stop()
{
    stop_server(name, &child);
}

Apache::Apache(const std::string &root) : ServerProcess("apache", "apache2"), root(root) {}

std::string Apache::url(const std::string &path) const
{
    return loopback_url("http", listen_port, path);
}

std::string Apache::error_log() const
{
    return file_text(work.at("error.log"));
}

std::vector<std::string> Apache::access_log() const
{
    return lines_of(file_text(work.at("access.log")));
}

bool Apache::start()
{
    if (child)
        return true;
    const std::string d = work.path();
    Configure configure = [&](uint16_t port, std::vector<std::string> *argv, std::string *err) {
        const std::string modules = "/usr/lib/apache2/modules/";
        std::string conf =
            "ServerRoot " + d + "\nServerName 127.0.0.1\nListen 127.0.0.1:" + std::to_string(port) + "\n";
        for (const char *m : {"mpm_event", "authz_core", "dir", "autoindex"})
            conf += "LoadModule " + std::string(m) + "_module " + modules + "mod_" + m + ".so\n";
        // Apache refuses to serve as root; it drops to User/Group after binding.
        if (geteuid() == 0)
            conf += "User www-data\nGroup www-data\n";
        conf += "PidFile " + d + "/httpd.pid\nErrorLog " + d + "/error.log\nMutex file:" + d +
                " default\nDefaultRuntimeDir " + d +
                "\n"
                "LogFormat \"\\\"%r\\\" %>s \\\"%{Range}i\\\"\" tests\n"
                "CustomLog " +
                d + "/access.log tests\nDocumentRoot \"" + root + "\"\n<Directory \"" + root +
                "\">\n"
                "    Options Indexes\n"
                "    IndexOptions FancyIndexing HTMLTable VersionSort NameWidth=* DescriptionWidth=* "
                "Charset=UTF-8\n"
                "    Require all granted\n"
                "</Directory>\n";
        *argv = {"/usr/sbin/apache2", "-X", "-d", d, "-f", d + "/httpd.conf"};
        return write_config(d + "/httpd.conf", conf, err);
    };
    return start_server(
        name, configure, d, d + "/output", [&] { return file_text(d + "/output") + error_log(); }, {},
        &listen_port, &child, &why);
}

Lighttpd::Lighttpd(const std::string &root, const Certificate *tls)
    : ServerProcess("lighttpd", "lighttpd"), root(root), tls(tls)
{
}

std::string Lighttpd::url(const std::string &path) const
{
    return loopback_url(tls ? "https" : "http", listen_port, path);
}

std::string Lighttpd::error_log() const
{
    return file_text(work.at("error.log"));
}

bool Lighttpd::start()
{
    if (child)
        return true;
    if (tls && access(tls->key_file().c_str(), R_OK)) {
        why = "the certificate is not made (Certificate::make)";
        return false;
    }
    const std::string d = work.path();
    Configure configure = [&](uint16_t port, std::vector<std::string> *argv, std::string *err) {
        std::string conf = "server.document-root = \"" + root +
                           "\"\n"
                           "server.bind = \"127.0.0.1\"\n"
                           "server.port = " +
                           std::to_string(port) + "\nserver.pid-file = \"" + d +
                           "/lighttpd.pid\"\n"
                           "server.errorlog = \"" +
                           d +
                           "/error.log\"\n"
                           "server.modules = ( \"mod_dirlisting\" )\n"
                           // Without a type for a file lighttpd sends neither Last-Modified
                           // nor ETag; Debian's own configuration maps every name like this.
                           "mimetype.assign = ( \"\" => \"application/octet-stream\" )\n"
                           "dir-listing.activate = \"enable\"\n"
                           "dir-listing.encoding = \"utf-8\"\n";
        if (tls)
            conf += "server.modules += ( \"mod_openssl\" )\n"
                    "ssl.engine = \"enable\"\n"
                    "ssl.pemfile = \"" +
                    tls->cert_file() + "\"\nssl.privkey = \"" + tls->key_file() +
                    "\"\n"
                    "server.feature-flags += ( \"server.h2proto\" => \"enable\" )\n";
        *argv = {"lighttpd", "-D", "-f", d + "/lighttpd.conf"};
        return write_config(d + "/lighttpd.conf", conf, err);
    };
    return start_server(
        name, configure, d, d + "/output", [&] { return file_text(d + "/output") + error_log(); }, {},
        &listen_port, &child, &why);
}

Tinyproxy::Tinyproxy(const std::vector<uint16_t> &connect_ports, const std::string &user,
                     const std::string &password)
    : ServerProcess("tinyproxy", "tinyproxy"), connect_ports(connect_ports), user(user), password(password)
{
}

std::string Tinyproxy::url() const
{
    return loopback_url("http", listen_port, "");
}

std::string Tinyproxy::log() const
{
    return file_text(work.at("tinyproxy.log"));
}

std::vector<std::string> Tinyproxy::requests() const
{
    static const std::string MARK = "]: Request (file descriptor ";
    std::vector<std::string> out;
    for (const std::string &line : lines_of(log())) {
        size_t at = line.find(MARK);
        if (at == std::string::npos)
            continue;
        size_t colon = line.find("): ", at + MARK.size());
        if (colon != std::string::npos)
            out.push_back(line.substr(colon + 3));
    }
    return out;
}

bool Tinyproxy::start()
{
    if (child)
        return true;
    const std::string d = work.path();
    Configure configure = [&](uint16_t port, std::vector<std::string> *argv, std::string *err) {
        std::string conf = "Port " + std::to_string(port) +
                           "\n"
                           "Listen 127.0.0.1\n"
                           "Allow 127.0.0.1\n"
                           "Timeout 60\n"
                           "LogFile \"" +
                           d +
                           "/tinyproxy.log\"\n"
                           "LogLevel Info\n"
                           "PidFile \"" +
                           d + "/tinyproxy.pid\"\n";
        for (uint16_t p : connect_ports)
            conf += "ConnectPort " + std::to_string(p) + "\n";
        if (!user.empty())
            conf += "BasicAuth " + user + " " + password + "\n";
        *argv = {"tinyproxy", "-d", "-c", d + "/tinyproxy.conf"};
        return write_config(d + "/tinyproxy.conf", conf, err);
    };
    return start_server(
        name, configure, d, d + "/output", [&] { return file_text(d + "/output") + log(); }, {},
        &listen_port, &child, &why);
}

PythonHttpServer::PythonHttpServer(const std::string &root)
    : ServerProcess("pyhttp", "python3 -m http.server"), root(root)
{
}

std::string PythonHttpServer::url(const std::string &path) const
{
    return loopback_url("http", listen_port, path);
}

std::string PythonHttpServer::log() const
{
    return file_text(work.at("output"));
}

bool PythonHttpServer::start()
{
    if (child)
        return true;
    Configure configure = [](uint16_t port, std::vector<std::string> *argv, std::string *) {
        // Debian's interpreter, unbuffered so that the log is complete when read.
        *argv = {"/usr/bin/python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(port)};
        return true;
    };
    return start_server(
        name, configure, root, work.at("output"), [&] { return log(); },
        {"PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP"}, &listen_port, &child, &why);
}
