#include "scan/net_util.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

bool resolve_ipv4(const char *host, uint32_t *addr) {
    if (!host || !addr) return false;
    struct in_addr in;
    if (inet_pton(AF_INET, host, &in) == 1) {
        *addr = in.s_addr;
        return true;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
    *addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
}
