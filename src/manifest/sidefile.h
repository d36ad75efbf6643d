#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

class QIODevice;

/// The side file of a release: the SHA-256 of every stored file of the product ini, beside it on
/// the mirrors and pinned by the SHA-256 and size that the signed ini gives for it.
///
///     varnolt-hashes 1
///     sha256 <64 hexadecimal digits> <section>/<key>
///
/// One line per stored file, its path as the mirror path below the version directory (the
/// section never holds a "/", so the first one ends it), then, for the files large enough to be
/// worth fetching in part, a "blocks" line with the file's block list (BlockList::toLine()); for
/// a file stored compressed, the list of its unpacked content, then its access points
/// ("points", GzipAccessPoints) and "sha256-unpacked <64 hexadecimal digits> <section>/<key>".
/// Lines of other kinds are skipped, so that later formats can add per-file data without
/// breaking this reader; parse() itself skips the blocks lines, which only the files a run
/// fetches need.
///
/// The digests file of a release has the same form without the blocks, points and
/// sha256-unpacked lines; instead, for every file with a block list, it binds the list's own
/// file (at listPathOf() of the file's path, below the version directory) by its SHA-256 and
/// size:
///
///     list <64 hexadecimal digits> <size> <section>/<key>
///
/// A list file is the header line followed by that file's lines as the side file has them
/// (blocks, then points and sha256-unpacked for a file stored compressed), which
/// lookUpFileLines() reads.
class SideFile
{
public:
    static const QByteArray Header;

    /// Raw 32-byte digests by "section/key".
    QHash<QString, QByteArray> sha256;
    /// Whole "blocks" lines by "section/key", written by serialize() after the digests.
    QHash<QString, QByteArray> blockLines;

    /**
     * Reads the side file's bytes. False with the reason in @p problem for a missing or unknown
     * header, a malformed sha256 line or a path listed twice.
     */
    static bool parse(const QByteArray &data, SideFile *sideFile, QString *problem);

    /**
     * Fills the digest of every path in @p wanted that the side file lists (paths it does not
     * list keep an empty value), without keeping the others: a release of many files needs the
     * digests of the few it fetches. False with the reason in @p problem as parse() for a file
     * that is not a side file, a malformed sha256 line, or a wanted path listed twice.
     */
    static bool lookUp(const QByteArray &data, QHash<QString, QByteArray> *wanted,
                       QString *problem);

    /// The lines of one stored file after the digests, as they stand in the side file.
    struct FileLines
    {
        QByteArray blocks; ///< "blocks ..." (BlockList)
        QByteArray points; ///< "points ..." (GzipAccessPoints), for a file stored compressed
        QByteArray unpackedSha256; ///< the raw SHA-256 of "sha256-unpacked", likewise
    };

    /**
     * Fills the lines of every path in @p wanted that the side file read from @p device has
     * (others keep empty values), without reading the blocks and points lines: whoever uses one
     * reads it then (BlockList::fromLine(), GzipAccessPoints::fromLine()). The file is read a
     * line at a time, so that memory holds the lines kept and one more, not the whole file
     * beside them. Lines without a path are skipped, so a damaged line costs only its file's
     * delta.
     */
    static void lookUpFileLines(QIODevice *device, QHash<QString, FileLines> *wanted);

    /**
     * A number of a side file line: decimal digits only, no leading zero, no sign, at most
     * @p maxDigits of them (so that arithmetic on it cannot overflow). False for anything else.
     */
    static bool parseNumber(QByteArrayView text, int maxDigits, qint64 *value);

    /// What the digests file says of a stored file's block list file.
    struct ListBinding
    {
        QByteArray sha256; ///< raw 32 bytes; empty when the file has no list
        qint64 size = 0;
    };

    /// Appended to a stored file's path, names its block list file: "::" separates a manifest
    /// entry's fields, so no product file is named so.
    static constexpr char ListSuffix[] = "::blocks";
    static QString listPathOf(const QString &path) { return path + QLatin1String(ListSuffix); }

    /// The digests file's line binding the list file of @p path.
    static QByteArray listLine(const QString &path, const QByteArray &sha256, qint64 size);

    /**
     * Fills the binding of every path in @p wanted whose list the digests file names (others
     * keep empty values). False with the reason in @p problem as lookUp() for a file that is not
     * a digests file, a malformed list line, or a wanted path whose list is named twice.
     */
    static bool lookUpLists(const QByteArray &data, QHash<QString, ListBinding> *wanted,
                            QString *problem);

    /// The key under which a stored file's digest is listed.
    static QString pathOf(const QString &section, const QString &key)
    {
        return section + QLatin1Char('/') + key;
    }

    /// The file's bytes, lines sorted by path.
    QByteArray serialize() const;
};
