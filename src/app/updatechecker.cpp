#include "app/updatechecker.h"

#include "app/configuration.h"

#include <QList>

#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Closes the descriptor on every way out of the query.
class SocketGuard
{
public:
    explicit SocketGuard(int fd) : fd(fd) { }
    ~SocketGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;
    int get() const { return fd; }

private:
    int fd;
};

} // namespace

UpdateChecker::UpdateChecker(const QByteArray &host, quint16 port, int receiveTimeoutMs)
    : host(host), port(port), receiveTimeoutMs(receiveTimeoutMs)
{
}

QByteArray UpdateChecker::defaultHost()
{
    return Configuration::getUpdateServerHost();
}

quint16 UpdateChecker::defaultPort()
{
    const quint16 port = Configuration::getUpdateServerPort();
    return port ? port : DefaultPort;
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    SocketGuard sock(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (sock.get() < 0)
        return false;

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *results = nullptr;
    if (::getaddrinfo(host.constData(), nullptr, &hints, &results) != 0 || !results)
        return false;
    sockaddr_in server;
    std::memcpy(&server, results->ai_addr, sizeof server);
    server.sin_port = htons(port);
    ::freeaddrinfo(results);

    // Connected, the socket takes datagrams from the server's address and port only: whoever
    // else answers first (a local process on our port, say) is dropped by the kernel.
    if (::connect(sock.get(), reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0)
        return false;
    const char request[2] = {0x32, 0x00};
    const ssize_t sent = ::send(sock.get(), request, sizeof request, 0);
    if (sent <= 0)
        return false;

    timeval timeout;
    timeout.tv_sec = receiveTimeoutMs / 1000;
    timeout.tv_usec = (receiveTimeoutMs % 1000) * 1000;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    char buffer[32];
    const ssize_t received = ::recv(sock.get(), buffer, sizeof buffer - 1, 0);
    if (received < 0)
        return false;
    takeAnswer(QByteArray(buffer, received));
    return true;
}

void UpdateChecker::takeAnswer(const QByteArray &datagram)
{
    const qsizetype zero = datagram.indexOf('\0');
    answer = zero < 0 ? datagram : datagram.left(zero);

    // Same semantics as strtok: runs of separators count as one and empty
    // fields do not count. The answer is cut at its first zero byte.
    const QList<QByteArray> tokens = answer.split(',');
    QByteArray *targets[3] = {&stableVersion, &betaVersion, &alphaVersion};
    int next = 0;
    for (const QByteArray &token : tokens) {
        if (token.isEmpty())
            continue;
        if (next == 3)
            break;
        *targets[next++] = token;
    }
}
