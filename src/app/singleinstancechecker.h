#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user. The running instance listens
// on a local socket whose name derives from the executable's path and the
// home directory; a second start sends it a short text and ends.
//
// The socket lies in a directory only the user can write to, and both sides
// check that the process at the other end runs as the same user: a socket or
// a message of another local user is ignored with a log line, so nobody else
// can silence the updater or raise its window.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Starts listening at once. When the name is taken by a socket that
    // nobody answers on (left behind by a crashed instance), the stale name is
    // removed and listening is tried again.
    explicit SingleInstanceChecker(QObject *parent = nullptr);
    ~SingleInstanceChecker() override;

    // "VL3ClientUpdate" + CRC-16 (hex) of the lower-cased executable path and
    // the home directory, without "/" and ":".
    static QString getLocalServerName();

    // XDG_RUNTIME_DIR when it is a private directory of the user, else the
    // user's own 0700 directory "varnolt-UID" in the temporary directory,
    // created when missing. Empty when neither is safe: this instance then
    // runs without the guard.
    static QString socketDirectory();
    // socketDirectory() + "/" + getLocalServerName(); empty without one.
    static QString getLocalServerPath();

    // Client side: true when another instance is listening and took the
    // message. Blocks for at most 1000 ms to connect and 1000 ms to write.
    static bool checkExistingInstance(const QString &message);
    // Client side: true when another instance is listening. Nothing is sent,
    // so the other instance does not come to the front. Blocks for at most
    // 1000 ms.
    static bool isInstanceRunning();

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
