// servers.cc: the servers of servers.h.
#include "integration/support/servers.h"

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
