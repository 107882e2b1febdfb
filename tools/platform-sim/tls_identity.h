// The management server's TLS identity: a key pair and a self-signed
// certificate made in memory at start (clients of the platform do not verify
// it), and the server context that presents them.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace oru::sim {

struct SslCtxFree {
    void operator()(SSL_CTX *context) const { SSL_CTX_free(context); }
};
using ServerContext = std::unique_ptr<SSL_CTX, SslCtxFree>;

// Makes a fresh identity for address (named in the certificate's subject
// alternative name). On failure returns null and says why. When pem_path is
// not empty the certificate is also written there in PEM form.
ServerContext make_server_context(const std::string &address, const std::string &pem_path,
                                  std::string &why);

} // namespace oru::sim
