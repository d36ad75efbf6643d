#include "mirrorchecker.h"

#include "manifestjudgement.h"
#include "publishedmetadata.h"
#include "releasemetadatawriter.h"

#include "manifest/sha256.h"
#include "manifest/signaturelist.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace {

// The limits the updater itself applies to a product ini and its signature.
constexpr qint64 MaxIniBytes = 64 * 1024 * 1024;
constexpr qint64 MaxSignatureBytes = 4096;

// A gzip form is never much larger than its plain bytes, whatever they are.
constexpr qint64 GzipOverhead = 1024;

const QString DeleteSection = QStringLiteral("delete");
const QString PartSeparator = QStringLiteral("::");

} // namespace

MirrorChecker::MirrorChecker(const Options &options, Rsa_key *key, QObject *parent)
    : QObject(parent), options(options), key(key), manager(new QNetworkAccessManager(this))
{
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setTransferTimeout(options.transferTimeoutMs);
}

QUrl MirrorChecker::urlOf(const QString &remotePath) const
{
    // Set as a decoded path, so that blanks, "%" or "#" in a file name are encoded as the file
    // name and not read as URL syntax.
    QUrl url = options.baseUrl;
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + options.version + QLatin1Char('/') + remotePath);
    return url;
}

QNetworkReply *MirrorChecker::fetch(const QString &remotePath, qint64 maxBytes)
{
    QNetworkReply *reply = manager->get(QNetworkRequest(urlOf(remotePath)));
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, maxBytes](qint64 received) {
        if (received > maxBytes)
            reply->abort();
    });
    return reply;
}

void MirrorChecker::start()
{
    const QString ini = options.clientType + QLatin1String(".ini");
    iniReply = fetch(ini, MaxIniBytes);
    signatureReply = fetch(ini + QLatin1String(".sig"), MaxSignatureBytes);
    // Only releases signed with several keys carry it; its absence is no problem.
    furtherReply = fetch(SignatureList::pathFor(ini), SignatureList::MaxFileBytes);
    for (QNetworkReply *reply : {iniReply, signatureReply, furtherReply})
        connect(reply, &QNetworkReply::finished, this, &MirrorChecker::onManifestFetched);
}

bool MirrorChecker::endIfMissing(QNetworkReply *reply)
{
    const QString failure = failureOf(reply);
    if (failure.isEmpty())
        return false;
    ++missing;
    emit problem(tr("missing: %1 (%2)").arg(reply->url().toString(), failure));
    end(false);
    return true;
}

void MirrorChecker::checkFiles(const QByteArray &ini)
{
    if (!readManifest(ini)) {
        end(false);
        return;
    }
    files += metadataFiles;
    metadataCount = int(metadataFiles.size());
    startNext();
}

void MirrorChecker::onManifestFetched()
{
    if (ended || !iniReply->isFinished() || !signatureReply->isFinished()
        || !furtherReply->isFinished())
        return;
    iniReply->deleteLater();
    signatureReply->deleteLater();
    furtherReply->deleteLater();
    if (endIfMissing(iniReply) || endIfMissing(signatureReply))
        return;
    const QByteArray ini = iniReply->readAll();
    const QByteArray further
        = failureOf(furtherReply).isEmpty() ? furtherReply->readAll() : QByteArray();
    const ManifestJudgement judgement = ManifestJudgement::judge(
        ini, signatureReply->readAll(), further, key, QDateTime::currentDateTimeUtc());
    const QString iniUrl = iniReply->url().toString();
    if (judgement.signer.isEmpty()) {
        ++wrong;
        emit problem(
            tr("wrong: %1 (signature not valid: %2)").arg(iniUrl, judgement.signatureProblem));
        end(false);
        return;
    }
    const ReleaseBinding &binding = judgement.binding;
    if (!judgement.bindingProblem.isEmpty()
        || (binding.present
            && (binding.clientType != options.clientType
                || binding.version.toLongLong() != options.version.toLongLong()))
        || judgement.expired) {
        ++wrong;
        emit problem(tr("wrong: %1 (%2)").arg(iniUrl, judgement.bindingLine()));
        end(false);
        return;
    }
    if (options.full)
        addGzipForm(options.clientType + QLatin1String(".ini"), Sha256::hash(ini), ini.size());
    if (binding.present) {
        QNetworkReply *reply = fetch(binding.sideFile, binding.sideFileSize);
        connect(reply, &QNetworkReply::finished, this,
                [this, reply, ini, binding] { onSideFileFetched(reply, ini, binding); });
        return;
    }
    checkFiles(ini);
}

bool MirrorChecker::endIfWrong(QNetworkReply *reply, const QString &problemText)
{
    if (problemText.isEmpty())
        return false;
    ++wrong;
    emit problem(tr("wrong: %1 (%2)").arg(reply->url().toString(), problemText));
    end(false);
    return true;
}

void MirrorChecker::onSideFileFetched(QNetworkReply *reply, const QByteArray &ini,
                                      const ReleaseBinding &binding)
{
    reply->deleteLater();
    if (endIfMissing(reply))
        return;
    const QByteArray data = reply->readAll();
    QString problemText;
    if (data.size() != binding.sideFileSize || Sha256::hash(data) != binding.sideFileSha256) {
        problemText = tr("not the side file the product ini names");
    } else if (!SideFile::parse(data, &sideFile, &problemText)) {
        problemText = tr("unreadable: %1").arg(problemText);
    }
    if (endIfWrong(reply, problemText))
        return;
    if (binding.digestsFile.isEmpty()) {
        checkFiles(ini);
        return;
    }
    QNetworkReply *digestsReply = fetch(binding.digestsFile, binding.digestsFileSize);
    connect(digestsReply, &QNetworkReply::finished, this,
            [this, digestsReply, ini, binding] { onDigestsFetched(digestsReply, ini, binding); });
}

void MirrorChecker::onDigestsFetched(QNetworkReply *reply, const QByteArray &ini,
                                     const ReleaseBinding &binding)
{
    reply->deleteLater();
    if (endIfMissing(reply))
        return;
    const QByteArray data = reply->readAll();
    QMap<QString, SideFile::ListBinding> lists;
    QString problemText;
    if (!PublishedMetadata::mismatch(data, binding.digestsFileSha256, binding.digestsFileSize)
             .isEmpty()) {
        problemText = tr("not the digests file the product ini names");
    } else if (!PublishedMetadata::listsOf(data, &lists, &problemText)) {
        problemText = tr("unreadable: %1").arg(problemText);
    }
    if (endIfWrong(reply, problemText))
        return;
    if (options.full)
        addGzipForm(binding.digestsFile, binding.digestsFileSha256, binding.digestsFileSize);
    for (auto it = lists.cbegin(); it != lists.cend(); ++it) {
        metadataFiles.append({it.key(), QString(), quint64(it->size), it->sha256});
        if (options.full)
            addGzipForm(it.key(), it->sha256, it->size);
    }
    checkFiles(ini);
}

void MirrorChecker::addGzipForm(const QString &remotePath, const QByteArray &sha256, qint64 size)
{
    metadataFiles.append(
        {remotePath + ReleaseMetadataWriter::GzipSuffix, QString(), quint64(size), sha256, true});
}

bool MirrorChecker::readManifest(const QByteArray &ini)
{
    // The settings reader wants a file; the manifest is read exactly as the updater reads it.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("manifest.ini"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(ini) != ini.size()) {
        ++wrong;
        emit problem(tr("cannot keep the product ini in a temporary file"));
        return false;
    }
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        if (section == DeleteSection)
            continue;
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            const QStringList parts = settings.value(key).toString().split(PartSeparator);
            if (parts.size() != 2 && parts.size() != 5) {
                ++wrong;
                emit problem(
                    tr("wrong: the product ini's entry %1/%2 is invalid").arg(section, key));
                continue;
            }
            const QString remotePath = section + QLatin1Char('/') + key;
            files.append({remotePath, parts.at(0).toLower(), parts.at(1).toULongLong(),
                          sideFile.sha256.value(remotePath)});
        }
        settings.endGroup();
    }
    return true;
}

void MirrorChecker::startNext()
{
    while (running < options.parallel && nextFile < files.size()) {
        const ManifestFile file = files.at(nextFile++);
        QNetworkRequest request(urlOf(file.remotePath));
        ++running;
        if (!options.full) {
            QNetworkReply *reply = manager->head(request);
            connect(reply, &QNetworkReply::finished, this,
                    [this, reply, file] { checkReply(reply, file, nullptr); });
            continue;
        }
        // Streamed through the hash: files may be far larger than memory should hold. The
        // body of an error answer is not the file and is not counted.
        QNetworkReply *reply = manager->get(request);
        auto body = std::make_shared<Body>();
        const auto take = [reply, body, file] {
            if (body->tooLong || !reply->isOpen())
                return;
            const QByteArray bytes = reply->readAll();
            if (!isOk(reply))
                return;
            body->received += bytes.size();
            body->hash.addData(bytes);
            body->sha256.addData(bytes);
            if (file.gzipForm)
                body->packed += bytes;
            if (quint64(body->received) > file.size + (file.gzipForm ? GzipOverhead : 0)) {
                body->tooLong = true;
                reply->abort();
            }
        };
        connect(reply, &QNetworkReply::readyRead, this, take);
        connect(reply, &QNetworkReply::finished, this, [this, reply, body, file, take] {
            take();
            checkReply(reply, file, body.get());
        });
    }
    if (running == 0)
        end(missing == 0 && wrong == 0);
}

void MirrorChecker::checkReply(QNetworkReply *reply, const ManifestFile &file, const Body *body)
{
    reply->deleteLater();
    --running;
    const QString failure = failureOf(reply);
    // An abort for too many bytes is a wrong file, not a missing one.
    if (!failure.isEmpty() && !(body && body->tooLong)) {
        ++missing;
        emit problem(tr("missing: %1 (%2)").arg(file.remotePath, failure));
    } else if (!options.full) {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!length.isValid()) {
            ++wrong;
            emit problem(tr("unknown: %1 (the mirror announces no size; check with --full)")
                             .arg(file.remotePath));
        } else if (length.toULongLong() != file.size) {
            ++wrong;
            emit problem(tr("wrong: %1 (%2 bytes on the mirror, %3 in the product ini)")
                             .arg(file.remotePath)
                             .arg(length.toULongLong())
                             .arg(file.size));
        }
    } else {
        const QString why = wrongBody(file, *body);
        if (!why.isEmpty()) {
            ++wrong;
            emit problem(tr("wrong: %1 (%2)").arg(file.remotePath, why));
        }
    }
    startNext();
}

QString MirrorChecker::wrongBody(const ManifestFile &file, const Body &body)
{
    if (file.gzipForm) {
        const QString why = body.tooLong
            ? tr("far larger than the %1 bytes it holds").arg(file.size)
            : PublishedMetadata::gzipMismatch(body.packed, file.sha256, qint64(file.size));
        return why.isEmpty() ? why : tr("gzip form: %1").arg(why);
    }
    if (body.tooLong)
        return tr("longer on the mirror than the %1 bytes in the product ini").arg(file.size);
    if (quint64(body.received) != file.size)
        return tr("%1 bytes on the mirror, %2 in the product ini")
            .arg(body.received)
            .arg(file.size);
    const QString md5 = QString::fromLatin1(body.hash.result().toHex());
    if (!file.md5.isEmpty() && md5 != file.md5)
        return tr("MD5 %1 on the mirror, %2 in the product ini").arg(md5, file.md5);
    const QByteArray sha256 = body.sha256.result();
    if (!file.sha256.isEmpty() && sha256 != file.sha256)
        return (file.md5.isEmpty() ? tr("SHA-256 %1 on the mirror, %2 in the digests file")
                                   : tr("SHA-256 %1 on the mirror, %2 in the side file"))
            .arg(QString::fromLatin1(sha256.toHex()), QString::fromLatin1(file.sha256.toHex()));
    return QString();
}

bool MirrorChecker::isOk(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
}

QString MirrorChecker::failureOf(QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        const int code = status.toInt();
        return code >= 300 && code < 400
            ? tr("HTTP %1, a redirect, which the updater does not follow").arg(code)
            : tr("HTTP %1").arg(code);
    }
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    return QString();
}

void MirrorChecker::end(bool complete)
{
    if (ended)
        return;
    ended = true;
    emit finished(complete);
}
