#include "download/banner.h"

#include "app/configuration.h"

#include <QTimerEvent>

namespace {

constexpr qint64 MaxAnswerBytes = 1024;

} // namespace

Banner::Banner(QObject *parent, quint16 port, int answerTimeoutMs)
    : QObject(parent), socket(new QUdpSocket(this)), port(port), answerTimeoutMs(answerTimeoutMs)
{
    socket->bind();
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    QHostInfo::lookupHost(QString::fromLatin1(Configuration::getUpdateServerHost()), this,
                          &Banner::onResolved);
}

void Banner::onResolved(const QHostInfo &hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    serverAddress.clear();
    for (const QHostAddress &address : hostInfo.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            serverAddress = address;
            break;
        }
    }
    if (!serverAddress.isNull())
        sendRequest();
}

void Banner::sendRequest()
{
    static const char request[2] = {0x01, 0x01};
    if (socket->writeDatagram(request, sizeof request, serverAddress, port) < 0) {
        answerTimer.stop();
        return;
    }
    ++sentCount;
    answerTimer.start(answerTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != answerTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (resendCount++ == 0) {
        sendRequest();
        return;
    }
    answerTimer.stop();
}

void Banner::onReadyRead()
{
    // The first datagram ends the query, whatever it holds; a late answer to
    // the first request must not produce a second banner.
    answerTimer.stop();
    disconnect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    QByteArray buffer(MaxAnswerBytes, Qt::Uninitialized);
    const qint64 size = socket->readDatagram(buffer.data(), buffer.size());
    if (size < 0)
        return;
    buffer.truncate(size);
    const QStringList parts = QString::fromLatin1(buffer).split(QLatin1Char(','));
    if (parts.size() == 2)
        emit bannerFound(parts.at(0), parts.at(1));
}

void Banner::onError(QAbstractSocket::SocketError)
{
    answerTimer.stop();
    disconnect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
}
