#pragma once

#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QUdpSocket>

// Asks the banner server which banner to show: a 2-byte UDP request, resent
// once after a silent 5 seconds, answered by "imageUrl,clickUrl". Best
// effort: every failure ends the query silently.
class Banner : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 DefaultPort = 2009;
    static constexpr int DefaultAnswerTimeoutMs = 5000;

    // The server is the version server's host; tests point port and time-out
    // at a local server.
    explicit Banner(QObject *parent = nullptr, quint16 port = DefaultPort,
                    int answerTimeoutMs = DefaultAnswerTimeoutMs);

    // Starts the host lookup; the request follows once it resolved.
    void run();

    // Number of requests sent so far (at most two).
    int requestsSent() const { return sentCount; }

signals:
    // A well-formed answer: exactly two comma-separated parts. Emitted at
    // most once per query; the parts are neither trimmed nor validated.
    void bannerFound(const QString &bannerUrl, const QString &clickUrl);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onResolved(const QHostInfo &hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();

    QUdpSocket *socket;
    QBasicTimer answerTimer;
    QHostAddress serverAddress;
    int resendCount = 0;
    int sentCount = 0;
    quint16 port;
    int answerTimeoutMs;
};
