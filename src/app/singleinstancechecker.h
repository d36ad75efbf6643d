#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Brings the running updater's window to the front when the updater is started again. The
// running instance listens on a local socket whose name derives from the executable's path and
// the home directory; a second start sends it a short text and ends. Which process is the
// running instance is decided by the installation's RunLock, not here: the socket only carries
// the request.
//
// The socket lies in a directory only the user can write to, and both sides
// check that the process at the other end runs as the same user: a socket or
// a message of another local user is ignored, so nobody else can raise the window
// or take the requests meant for it.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Starts listening at once. Made only by the holder of the installation's lock: a socket
    // already under the name is then a crashed instance's leftover, which is removed.
    explicit SingleInstanceChecker(QObject *parent = nullptr);
    ~SingleInstanceChecker() override;

    // "VL3ClientUpdate" + CRC-16 (hex) of the lower-cased executable path and
    // the home directory, without "/" and ":".
    static QString getLocalServerName();

    // XDG_RUNTIME_DIR when it is a private directory of the user, else the
    // user's own 0700 directory "varnolt-UID" in the temporary directory,
    // created when missing. Empty when neither is safe: this instance then
    // cannot be reached (it still holds the installation's lock).
    static QString socketDirectory();
    // socketDirectory() + "/" + getLocalServerName(); empty without one.
    static QString getLocalServerPath();

    // Client side: true when another instance is listening and took the
    // message. Blocks for at most 1000 ms to connect and 1000 ms to write.
    static bool checkExistingInstance(const QString &message);

    bool isListening() const;

signals:
    // Text from another instance (the first read of a connection only).
    void otherInstanceActivate(const QString &message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer *server;
    QLocalSocket *connection = nullptr;
};
