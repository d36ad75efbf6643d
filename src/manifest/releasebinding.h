#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

/// What a signed product ini says about itself: which release it is, when it was published,
/// until when it may be installed, and which side file carries the strong digests of its files.
///
/// The keys stand outside any section, at the head of the ini, where the settings reader writes
/// its General group:
///
///     [General]
///     release_expires=2027-01-06T12:00:00Z        ; optional
///     release_published=2026-12-07T12:00:00Z
///     release_type=client_linux_amd64
///     release_version=42
///     side_file=client_linux_amd64.hashes
///     side_file_sha256=<64 hexadecimal digits>
///     side_file_size=<bytes>
///     digests_file=client_linux_amd64.digests      ; optional, all three or none
///     digests_file_sha256=<64 hexadecimal digits>
///     digests_file_size=<bytes>
///
/// The side file carries every file's digests and block lists, for updaters that read both from
/// it; the digests file carries the digests alone, and binds each block list published as a
/// file of its own (SideFile::listPathOf()), so that a run fetches only the lists it uses.
/// Updaters that know the digests file never fetch the side file of a release that names one.
///
/// Updaters that predate the keys neither count nor process keys outside sections, so a bound
/// release still installs with them. Every value is plain text without quotes or escapes; the
/// release tool reads back what it wrote with this reader and with the settings reader, so both
/// always agree on a published ini.
class ReleaseBinding
{
public:
    /// Whether the ini carries binding keys at all (a release published before them does not).
    bool present = false;
    QString clientType;
    QString version;
    QDateTime published;
    /// Invalid when the release never expires.
    QDateTime expires;
    QString sideFile;
    /// Raw 32 bytes.
    QByteArray sideFileSha256;
    qint64 sideFileSize = 0;
    /// Empty for a release published without a digests file.
    QString digestsFile;
    /// Raw 32 bytes.
    QByteArray digestsFileSha256;
    qint64 digestsFileSize = 0;

    /// The file a run fetches for the files' strong digests: the digests file where the release
    /// has one, else the side file.
    QString digestsSource() const { return digestsFile.isEmpty() ? sideFile : digestsFile; }
    QByteArray digestsSourceSha256() const
    {
        return digestsFile.isEmpty() ? sideFileSha256 : digestsFileSha256;
    }
    qint64 digestsSourceSize() const
    {
        return digestsFile.isEmpty() ? sideFileSize : digestsFileSize;
    }

    /**
     * Reads the binding from the head of a product ini's bytes: the lines before the first
     * section other than General. Keys it does not know are skipped, so that later releases may
     * add some. Returns false with the reason in @p problem when a binding key appears twice or
     * has a malformed value, or when some but not all of the required keys are present; an ini
     * without any binding key reads as not present.
     */
    static bool parse(const QByteArray &ini, ReleaseBinding *binding, QString *problem);

    /// The keys and values to write, in the order above; expires only when valid.
    QList<QPair<QString, QString>> keyValues() const;

    /// The time format of the binding keys: UTC, seconds, "Z".
    static QString formatTime(const QDateTime &time);
    /// How a time is shown in messages: "2026-12-07 12:00:00".
    static QString displayTime(const QDateTime &time);

    /// A side file name is a plain file name beside the ini: not empty, no "/" or "\", not
    /// starting with a dot, and only printable ASCII.
    static bool isPlainFileName(const QString &name);

    bool operator==(const ReleaseBinding &other) const;
};
