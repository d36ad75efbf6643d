#pragma once

#include "httpmirror.h"
#include "testsupport.h"

#include <QMap>
#include <QTemporaryDir>

#include <memory>

// A release of a small client, published with the real release tool and the
// development key into a mirror tree, and served by a local HTTP mirror.
class ReleaseMirror
{
public:
    // files: relative path -> content of the client tree to publish.
    ReleaseMirror(const QString &type, int version, const QMap<QString, QByteArray> &files,
                  const QStringList &releaseArgs = QStringList());

    // Empty when the release was published; else the tool's complaint.
    QString error() const { return complaint; }
    TestHttpMirror &server() { return *mirror; }
    QString rootPath() const { return root.path(); }
    // Path of a published file on the server ("/VERSION/...").
    QString path(const QString &relative) const;
    // mirrors.ini text naming this mirror once.
    QByteArray mirrorsIni(int retries = 5) const;

private:
    QTemporaryDir root;
    std::unique_ptr<TestHttpMirror> mirror;
    QString complaint;
    int version;
};

// An installation beside a local mirror serving the (at first empty) tree mirrorRoot, named in
// its mirrors.ini, and a version server offering version 2: where tests that run the real
// updater against releases they publish start from.
struct UpdateSite
{
    explicit UpdateSite(const QString &updater = updaterExecutable());

    // The files of the client below root: everything but the updater and its own files.
    static QMap<QString, QByteArray> clientFiles(const QString &root);
    QMap<QString, QByteArray> clientFiles() const { return clientFiles(installation.path()); }
    // The path of relative in the one session directory of tmp; empty while there is none (or
    // more than one).
    QString sessionFile(const QString &relative) const;
    // A small client of client_linux_amd64: a start script and data/version.txt naming the
    // version, and from version 2 on data/levels.dat (300000 bytes, levelsContent()), which the
    // mirror serves at levelsPath().
    static void writeClient(const QString &root, int version);
    static QByteArray levelsContent();
    static QString levelsPath() { return QStringLiteral("/2/client_linux_amd64/data/levels.dat"); }
    // clientFiles() of an installation holding writeClient(version).
    static QMap<QString, QByteArray> expectedClient(int version);
    // Publishes writeClient(version) as VERSION on the mirror. Empty on success, else the
    // release tool's complaint.
    QString publishClient(int version, const QStringList &releaseArgs = QStringList());

    InstallationDir installation;
    // The updater's temporary directory.
    QTemporaryDir tmp;
    QTemporaryDir mirrorRoot;
    TestHttpMirror mirror;
    UdpAnswerServer versionServer {QList<QByteArray> {"2,2,2"}};
};
