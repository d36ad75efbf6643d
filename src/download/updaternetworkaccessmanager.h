#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>

class Configuration;

// The network access manager of a run. Every request it sends names the
// updater, its version and the client type in its User-Agent header
// ("Varnolt-Updater/3.0 (client_linux_amd64)"), so that mirror operators can
// tell updater traffic apart. The client type is read when a request is
// made, as it is settled only after the manager exists.
class UpdaterNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    UpdaterNetworkAccessManager(const Configuration &configuration, QObject *parent = nullptr);

    static QByteArray userAgent(const QString &clientType);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    const Configuration &configuration;
};
