#include "app/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

constexpr int WaitMs = 1000;

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject *parent)
    : QObject(parent), server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerName();
    if (!server->listen(name) && server->serverError() == QAbstractSocket::AddressInUseError) {
        // Start-up already asked the name and nobody answered, so whatever
        // holds it is the leftover of a crashed instance. Without removing
        // it this installation could never be reached again.
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

bool SingleInstanceChecker::checkExistingInstance(const QString &message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(WaitMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(WaitMs);
}

bool SingleInstanceChecker::isInstanceRunning()
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    return socket.waitForConnected(WaitMs);
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
