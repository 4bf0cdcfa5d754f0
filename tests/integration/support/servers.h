// servers.h: the real servers of the integration tests besides nginx (harness.h) and supysonic
// (supysonic.h), and what they share: a self-signed certificate for the TLS servers.
//
//     Certificate cert;
//     ASSERT_TRUE(cert.make()) << cert.error();
//     Nginx nginx(tree.path(), {.tls = &cert});
//     ASSERT_TRUE(nginx.start()) << nginx.error();
//     Mount m(nginx.url(), {"--cacert", cert.cert_file()});
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "integration/support/harness.h"

// A self-signed RSA certificate and its key, made by openssl req in a temporary directory.
class Certificate
{
  public:
    enum Name {
        LOCALHOST,  // CN=localhost, subjectAltName DNS:localhost and IP:127.0.0.1
        WRONG_HOST, // CN=wronghost and no subjectAltName: fails the host-name check
    };
    explicit Certificate(Name name = LOCALHOST);
    Certificate(const Certificate &) = delete;
    Certificate &operator=(const Certificate &) = delete;

    // Makes the key, the certificate and the hashed directory (openssl req, openssl rehash).
    // False, with openssl's output in error(), on failure.
    bool make();

    // The certificate (PEM): the CA file for --cacert, as it signs itself.
    const std::string &cert_file() const { return cert; }
    const std::string &key_file() const { return key; }
    // A directory holding only the certificate under its hash name: for --capath.
    const std::string &capath() const { return hashed; }
    std::string error() const { return why; }

  private:
    TempDir work;
    Name name;
    std::string cert, key, hashed;
    std::string why;
};
