#include "net.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vocari {

namespace {

void setIntOption(int socket, int level, int name, int value) {
    setsockopt(socket, level, name, &value, sizeof value);
}

}  // namespace

int bindUdp(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return -1;
    }
    setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    setIntOption(fd, SOL_SOCKET, SO_RCVBUF, 1 << 20);
    setIntOption(fd, IPPROTO_IP, IP_TOS, 0xB8);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int openLinkListener(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void setReceiveTimeout(int socket, int64_t timeoutUs) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutUs / 1'000'000);
    timeout.tv_usec = static_cast<suseconds_t>(timeoutUs % 1'000'000);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

std::string ipv4Text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace vocari
