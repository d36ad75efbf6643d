#include "manifest/releasebinding.h"

#include <QList>
#include <QPair>
#include <QRegularExpression>
#include <QSet>

namespace {

const char TypeKey[] = "release_type";
const char VersionKey[] = "release_version";
const char PublishedKey[] = "release_published";
const char ExpiresKey[] = "release_expires";
const char SideFileKey[] = "side_file";
const char SideSha256Key[] = "side_file_sha256";
const char SideSizeKey[] = "side_file_size";
const char DigestsFileKey[] = "digests_file";
const char DigestsSha256Key[] = "digests_file_sha256";
const char DigestsSizeKey[] = "digests_file_size";
constexpr int KeyCount = 10;
// The digests file keys come as a group of their own, after the required ones.
constexpr int FirstOptionalGroupKey = 7;

// The head is tiny; a hostile or broken file must not make the reader walk megabytes of it.
constexpr int MaxHeadLines = 64;

QDateTime parseTime(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"));
    if (!form.match(text).hasMatch())
        return {};
    QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (!time.isValid())
        return {};
    return time.toUTC();
}

bool isDecimal(const QString &text, int maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

} // namespace

bool ReleaseBinding::isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name.size() > 255 || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('/')
            || c == QLatin1Char('\\') || c == QLatin1Char('"') || c == QLatin1Char(';')
            || c == QLatin1Char('='))
            return false;
    }
    return true;
}

bool ReleaseBinding::parse(const QByteArray &ini, ReleaseBinding *binding, QString *problem)
{
    *binding = ReleaseBinding();
    QSet<QByteArray> seen;
    QByteArray values[KeyCount];
    const QByteArray names[KeyCount]
        = {TypeKey,       VersionKey,  PublishedKey,   ExpiresKey,       SideFileKey,
           SideSha256Key, SideSizeKey, DigestsFileKey, DigestsSha256Key, DigestsSizeKey};
    qsizetype position = 0;
    for (int lineCount = 0; position < ini.size() && lineCount < MaxHeadLines; ++lineCount) {
        qsizetype end = ini.indexOf('\n', position);
        if (end < 0)
            end = ini.size();
        const QByteArray line = ini.mid(position, end - position).trimmed();
        position = end + 1;
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            // The settings reader keeps a General group outside any section, wherever it stands.
            if (line.compare("[General]", Qt::CaseInsensitive) == 0)
                continue;
            break;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        for (int i = 0; i < KeyCount; ++i) {
            if (key != names[i])
                continue;
            if (seen.contains(key)) {
                *problem = QStringLiteral("%1 is given twice").arg(QLatin1String(key));
                return false;
            }
            seen.insert(key);
            values[i] = value;
        }
    }
    if (seen.isEmpty())
        return true;

    const auto malformed = [problem](const char *key, const QByteArray &value) {
        *problem = QStringLiteral("%1 has the malformed value \"%2\"")
                       .arg(QLatin1String(key), QString::fromUtf8(value.left(80)));
        return false;
    };
    for (int i = 0; i < FirstOptionalGroupKey; ++i) {
        if (i != 3 && !seen.contains(names[i])) {
            *problem = QStringLiteral("%1 is missing").arg(QLatin1String(names[i]));
            return false;
        }
    }
    ReleaseBinding result;
    result.present = true;
    result.clientType = QString::fromUtf8(values[0]);
    if (result.clientType.isEmpty() || !isPlainFileName(result.clientType))
        return malformed(TypeKey, values[0]);
    result.version = QString::fromLatin1(values[1]);
    if (!isDecimal(result.version, 9))
        return malformed(VersionKey, values[1]);
    result.published = parseTime(QString::fromLatin1(values[2]));
    if (!result.published.isValid())
        return malformed(PublishedKey, values[2]);
    if (seen.contains(ExpiresKey)) {
        result.expires = parseTime(QString::fromLatin1(values[3]));
        if (!result.expires.isValid())
            return malformed(ExpiresKey, values[3]);
    }
    result.sideFile = QString::fromUtf8(values[4]);
    if (!isPlainFileName(result.sideFile))
        return malformed(SideFileKey, values[4]);
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    if (!sha256.match(QString::fromLatin1(values[5])).hasMatch())
        return malformed(SideSha256Key, values[5]);
    result.sideFileSha256 = QByteArray::fromHex(values[5]);
    if (!isDecimal(QString::fromLatin1(values[6]), 15))
        return malformed(SideSizeKey, values[6]);
    result.sideFileSize = values[6].toLongLong();
    const bool anyDigestsKey = seen.contains(DigestsFileKey) || seen.contains(DigestsSha256Key)
        || seen.contains(DigestsSizeKey);
    if (anyDigestsKey) {
        for (int i = FirstOptionalGroupKey; i < KeyCount; ++i) {
            if (!seen.contains(names[i])) {
                *problem = QStringLiteral("%1 is missing").arg(QLatin1String(names[i]));
                return false;
            }
        }
        result.digestsFile = QString::fromUtf8(values[7]);
        if (!isPlainFileName(result.digestsFile) || result.digestsFile == result.sideFile)
            return malformed(DigestsFileKey, values[7]);
        if (!sha256.match(QString::fromLatin1(values[8])).hasMatch())
            return malformed(DigestsSha256Key, values[8]);
        result.digestsFileSha256 = QByteArray::fromHex(values[8]);
        if (!isDecimal(QString::fromLatin1(values[9]), 15))
            return malformed(DigestsSizeKey, values[9]);
        result.digestsFileSize = values[9].toLongLong();
    }
    *binding = result;
    return true;
}

QList<QPair<QString, QString>> ReleaseBinding::keyValues() const
{
    QList<QPair<QString, QString>> pairs;
    if (expires.isValid())
        pairs.append({QLatin1String(ExpiresKey), formatTime(expires)});
    pairs.append({QLatin1String(PublishedKey), formatTime(published)});
    pairs.append({QLatin1String(TypeKey), clientType});
    pairs.append({QLatin1String(VersionKey), version});
    pairs.append({QLatin1String(SideFileKey), sideFile});
    pairs.append({QLatin1String(SideSha256Key), QString::fromLatin1(sideFileSha256.toHex())});
    pairs.append({QLatin1String(SideSizeKey), QString::number(sideFileSize)});
    if (!digestsFile.isEmpty()) {
        pairs.append({QLatin1String(DigestsFileKey), digestsFile});
        pairs.append(
            {QLatin1String(DigestsSha256Key), QString::fromLatin1(digestsFileSha256.toHex())});
        pairs.append({QLatin1String(DigestsSizeKey), QString::number(digestsFileSize)});
    }
    return pairs;
}

QString ReleaseBinding::formatTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

QString ReleaseBinding::displayTime(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool ReleaseBinding::operator==(const ReleaseBinding &other) const
{
    return present == other.present && clientType == other.clientType && version == other.version
        && published == other.published && expires == other.expires && sideFile == other.sideFile
        && sideFileSha256 == other.sideFileSha256 && sideFileSize == other.sideFileSize
        && digestsFile == other.digestsFile && digestsFileSha256 == other.digestsFileSha256
        && digestsFileSize == other.digestsFileSize;
}
