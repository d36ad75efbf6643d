#pragma once

#include <QByteArray>

// Asks the version server for the latest stable, beta and alpha version
// numbers: one 2-byte UDP datagram out, one text datagram "S,B,A" back.
// Blocking by design: it runs before the window is shown and the answer
// decides what the window is about.
class UpdateChecker
{
public:
    static constexpr quint16 DefaultPort = 17384;
    static constexpr int DefaultTimeoutMs = 5000;

    // host, port and timeout default to the configured version server; tests
    // point them at a local server and shorten the wait.
    explicit UpdateChecker(const QByteArray &host = defaultHost(), quint16 port = defaultPort(),
                           int receiveTimeoutMs = DefaultTimeoutMs);

    // Runs one query. True when any answer arrived; the members are then
    // assigned from its comma-separated fields. Fields the answer lacks keep
    // the values of an earlier query on this object.
    bool checkUpdate();

    const QByteArray &getClientStableVersion() const { return stableVersion; }
    const QByteArray &getClientBetaVersion() const { return betaVersion; }
    const QByteArray &getClientAlphaVersion() const { return alphaVersion; }
    // The text of the last answer, cut at its first zero byte.
    const QByteArray &getAnswer() const { return answer; }

    // Takes @p datagram as the answer to a query, as checkUpdate() does with the one that
    // arrives: the text up to its first zero byte, its fields assigned as described there.
    void takeAnswer(const QByteArray &datagram);

    // The version server: the host built in, or VARNOLT_UPDATE_SERVER
    // ("host" or "host:port") from the environment.
    static QByteArray defaultHost();
    static quint16 defaultPort();

private:
    bool readFromServer();

    QByteArray stableVersion;
    QByteArray betaVersion;
    QByteArray alphaVersion;
    QByteArray answer;

    QByteArray host;
    quint16 port;
    int receiveTimeoutMs;
};
