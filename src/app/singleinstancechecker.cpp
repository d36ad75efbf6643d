#include "app/singleinstancechecker.h"

#include "app/consolelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int WaitMs = 1000;

// A directory where nobody but this user can create, replace or remove names: owned by the
// user, not a link, and closed to group and others.
bool isPrivateDirectory(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// The user id of the process at the other end of a local socket, or -1.
long peerUserId(qintptr descriptor)
{
    struct ucred credentials;
    socklen_t length = sizeof credentials;
    if (descriptor < 0
        || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return -1;
    return long(credentials.uid);
}

bool isSameUser(const QLocalSocket &socket)
{
    return peerUserId(socket.socketDescriptor()) == long(::geteuid());
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent), server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerPath();
    if (name.isEmpty())
        return;
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name) && server->serverError() == QAbstractSocket::AddressInUseError) {
        // This process holds the installation's lock, so whatever holds the name is the
        // leftover of a crashed instance (or not ours at all, in our own directory). Without
        // removing it this instance could never be reached.
        QLocalServer::removeServer(name);
        server->listen(name);
    }
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
}

bool SingleInstanceChecker::isListening() const
{
    return server->isListening();
}

QString SingleInstanceChecker::getLocalServerName()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 crc = qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309);
    return QStringLiteral("VL3ClientUpdate") + QString::number(crc, 16);
}

QString SingleInstanceChecker::socketDirectory()
{
    // The socket's name is predictable; in a directory others can write to, another local user
    // could create it first and make every start of the updater hand over to them and end.
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateDirectory(runtime))
        return QDir::cleanPath(runtime);

    const QString own = QDir::tempPath() + QStringLiteral("/varnolt-%1").arg(::geteuid());
    // Created private in one step; one that exists already must be ours and private, never a
    // directory or link someone else put there.
    if (::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    if (!isPrivateDirectory(own)) {
        ConsoleLog::write(QStringLiteral("Ignoring %1: it is not a private directory of this "
                                         "user; this instance cannot be brought to the front")
                              .arg(own));
        return QString();
    }
    return own;
}

QString SingleInstanceChecker::getLocalServerPath()
{
    const QString directory = socketDirectory();
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + getLocalServerName();
}

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    const QString path = getLocalServerPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(WaitMs))
        return false;
    // Another user's socket under our name takes no request: the start that asks goes on
    // waiting for the lock's holder, and only the lock says who runs.
    if (!isSameUser(socket))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WaitMs);
}

void SingleInstanceChecker::onNewConnection()
{
    if (connection) {
        delete connection;
        connection = nullptr;
    }
    QLocalSocket *next = server->nextPendingConnection();
    if (!next)
        return;
    if (!isSameUser(*next)) {
        ConsoleLog::write(QStringLiteral("Ignoring a message from another user"));
        next->deleteLater();
        return;
    }
    connection = next;
    connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray bytes = connection->readAll();
    const int zero = int(bytes.indexOf('\0'));
    const QString text = QString::fromLatin1(zero < 0 ? bytes : bytes.left(zero));
    // Deleted later: we are inside the socket's own signal.
    connection->deleteLater();
    connection = nullptr;
    emit otherInstanceActivate(text);
}
