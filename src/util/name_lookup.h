// Name lookups under a deadline. getaddrinfo() has no limit of its own: a
// silent resolver holds it for as long as resolv.conf's timeouts and attempts
// add up to. Here the lookup runs on a thread of its own that the caller gives
// up on at the deadline; the thread owns what it writes, finishes in its own
// time and frees it, so nothing is left pointing at the caller's stack.
#pragma once

#include <netinet/in.h>

#include "util/net_deadline.h"

namespace oru::net {

// Resolves host (a dotted IPv4 address, looked up on no thread, or a name) to
// its first IPv4 address, port left 0. Returns 0, or -1 with errno ETIMEDOUT
// when the deadline passed first, ENOENT when the name has no IPv4 address,
// EAGAIN when no lookup thread could be started.
int resolve_ipv4_within(const char *host, struct sockaddr_in *address, const Deadline &deadline);

} // namespace oru::net
