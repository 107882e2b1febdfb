#include "util/name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace oru::net {

namespace {

// Shared by the caller and the lookup thread; the last of them frees it.
struct Lookup {
    std::string host;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool found = false;
    struct in_addr address {};
};

void run_lookup(const std::shared_ptr<Lookup> &lookup) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *answer = nullptr;
    bool found = getaddrinfo(lookup->host.c_str(), nullptr, &hints, &answer) == 0 && answer;
    struct in_addr address {};
    if (found) address = reinterpret_cast<const struct sockaddr_in *>(answer->ai_addr)->sin_addr;
    if (answer) freeaddrinfo(answer);
    std::lock_guard<std::mutex> guard(lookup->mutex);
    lookup->found = found;
    lookup->address = address;
    lookup->done = true;
    lookup->finished.notify_all();
}

} // namespace

int resolve_ipv4_within(const char *host, struct sockaddr_in *address, const Deadline &deadline) {
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    if (inet_pton(AF_INET, host, &address->sin_addr) == 1) return 0;
    std::shared_ptr<Lookup> lookup;
    try {
        lookup = std::make_shared<Lookup>();
        lookup->host = host;
        std::thread([lookup] { run_lookup(lookup); }).detach();
    } catch (...) {
        errno = EAGAIN;
        return -1;
    }
    std::unique_lock<std::mutex> hold(lookup->mutex);
    if (!lookup->finished.wait_for(hold, std::chrono::milliseconds(deadline.remaining_ms()),
                                   [&] { return lookup->done; })) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (!lookup->found) {
        errno = ENOENT;
        return -1;
    }
    address->sin_addr = lookup->address;
    return 0;
}

} // namespace oru::net
