// WirePeer: a minimal peer that speaks the frame format with blocking sockets and its own
// encoder, independent of the messaging layer, so that tests can send exactly the bytes they mean
// (valid control frames, malformed heads, silence) from a chosen source address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class WirePeer {
  public:
    WirePeer() = default;
    WirePeer(const WirePeer &) = delete;
    WirePeer &operator=(const WirePeer &) = delete;
    ~WirePeer() { Close(); }

    // Connects to 127.0.0.1:port from srcIp (any 127.0.0.x); false on failure.
    bool Connect(uint16_t port, const char *srcIp = "127.0.0.1")
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0)
            return false;
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, srcIp, &src.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&src), sizeof(src)) != 0)
            return false;
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
        return connect(fd_, reinterpret_cast<sockaddr *>(&dst), sizeof(dst)) == 0;
    }

    // Listens on 127.0.0.1 at a port of the system's choice (*pPort), for a pellar that dials this
    // peer; Accept takes its first connection within ms.
    bool Listen(uint16_t *pPort)
    {
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (listenFd_ < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        socklen_t len = sizeof(addr);
        if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(listenFd_, 8) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return false;
        *pPort = ntohs(addr.sin_port);
        return true;
    }
    bool Accept(int ms)
    {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        fd_ = accept(listenFd_, nullptr, nullptr);
        return fd_ >= 0;
    }

    static void Put32(std::vector<uint8_t> &head, size_t word, uint32_t v)
    {
        for (size_t i = 0; i < 4; i++)
            head[word * 4 + i] = (uint8_t)(v >> (8 * i));
    }

    static std::vector<uint8_t> NewCon(uint64_t conId, uint32_t ownerType, uint32_t version, uint32_t timeStamp,
                                       uint32_t magic)
    {
        std::vector<uint8_t> head(128, 0);
        Put32(head, 0, 0x42890441u | ownerType);
        Put32(head, 1, (uint32_t)conId);
        Put32(head, 2, (uint32_t)(conId >> 32));
        Put32(head, 4, version);
        Put32(head, 5, timeStamp);
        Put32(head, 6, magic);
        return head;
    }

    static std::vector<uint8_t> KeepAlive(uint32_t version, uint32_t timeStamp, uint32_t magic)
    {
        std::vector<uint8_t> head(128, 0);
        Put32(head, 0, 0x42890641u);
        Put32(head, 2, 1);
        Put32(head, 3, 1);
        Put32(head, 4, version);
        Put32(head, 5, timeStamp);
        Put32(head, 6, magic);
        return head;
    }

    // A notification of len payload bytes (at most 100, carried in the head) for group grp.
    static std::vector<uint8_t> Notif(uint32_t grp, uint32_t context, const std::vector<uint8_t> &payload)
    {
        std::vector<uint8_t> head(128, 0);
        Put32(head, 0, 0x42890141u);
        Put32(head, 1, (uint32_t)payload.size());
        Put32(head, 2, context);
        Put32(head, 3, grp);
        Put32(head, 6, (uint32_t)payload.size());
        memcpy(head.data() + 28, payload.data(), payload.size());
        return head;
    }

    bool Send(const std::vector<uint8_t> &bytes)
    {
        size_t off = 0;
        while (off < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            off += (size_t)n;
        }
        return true;
    }

    // Reads and discards what arrives until the peer closes; true when it closed within ms.
    bool WaitClosed(int ms)
    {
        uint8_t buf[4096];
        for (int waited = 0; waited < ms; waited += 10) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0)
                return true;
        }
        return false;
    }

    // Reads one 128-byte head (false on close or time-out).
    bool RecvHead(std::vector<uint8_t> &head, int ms)
    {
        head.assign(128, 0);
        size_t got = 0;
        for (int waited = 0; got < 128 && waited < ms; waited += 10) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            const ssize_t n = recv(fd_, head.data() + got, 128 - got, 0);
            if (n <= 0)
                return false;
            got += (size_t)n;
        }
        return got == 128;
    }

    // Reads one whole frame: its 128-byte head and, for a data frame (notification, request,
    // response), its payload, the part carried in the head first (false on close or time-out).
    bool RecvFrame(std::vector<uint8_t> &head, std::vector<uint8_t> &body, int ms)
    {
        if (!RecvHead(head, ms))
            return false;
        auto word = [&head](size_t i) {
            uint32_t v;
            memcpy(&v, head.data() + 4 * i, 4);
            return v;
        };
        body.clear();
        const uint32_t type = word(0) & 0xF00u;
        if (type != 0x100u && type != 0x200u && type != 0x300u)
            return true;
        const uint32_t len = word(1), inHead = word(6);
        if (inHead > len || inHead > 100)
            return false;
        body.assign(head.begin() + 28, head.begin() + 28 + inHead);
        return RecvBytes(body, len - inHead, ms);
    }

    // Appends n bytes read from the socket to out (false on close or time-out).
    bool RecvBytes(std::vector<uint8_t> &out, size_t n, int ms)
    {
        const size_t start = out.size();
        out.resize(start + n);
        size_t got = 0;
        for (int waited = 0; got < n && waited < ms; waited += 10) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            const ssize_t r = recv(fd_, out.data() + start + got, n - got, 0);
            if (r <= 0)
                return false;
            got += (size_t)r;
        }
        return got == n;
    }

    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        if (listenFd_ >= 0)
            close(listenFd_);
        fd_ = listenFd_ = -1;
    }

  private:
    int fd_ = -1;
    int listenFd_ = -1;
};
