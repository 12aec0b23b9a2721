// Per-connection server checks for the session's libcurl handles (internal to platform/net).
//
// libcurl's own verification is replaced: for every new TLS connection the handshake hands the chain the
// server presented to a `PeerCheck`, whose answer decides whether the handshake goes on. libcurl's host
// check is off and renegotiation is refused, so the check runs exactly once per full handshake, on the
// thread that drives the handle. A resumed TLS session skips the check: resumption is on only where
// every handle sharing the session cache decides the same way.
#pragma once

#include <curl/curl.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace URLSessionTLS {

// The server's chain as DER, leaf first (empty when it sent none). True trusts the server.
using PeerCheck = std::function<bool(const std::vector<Data>& chain)>;

// "" when libcurl's TLS backend is OpenSSL (the only one whose handshake we can hook), else why not.
const std::string& backendProblem();

// Sets the TLS options of `easy` so that `check` decides on every new connection it makes. `check` must
// stay alive as long as the handle. `resumable` lets the handle resume TLS sessions from libcurl's cache.
// "" on success, else why libcurl refused.
std::string configure(CURL* easy, PeerCheck* check, bool resumable);

}  // namespace URLSessionTLS
