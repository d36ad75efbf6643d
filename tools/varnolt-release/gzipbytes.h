#pragma once

#include <QByteArray>
#include <QString>

/// The gzip form of a release's metadata (ini, digests file, block list files), which updaters
/// ask for before the plain one, and the way back for whoever checks a mirror's copy.
///
/// compress() is deterministic: the same bytes give the same member on every build machine and
/// at any time (no file name, modification time 0), as "gzip -9 -n" writes it, so that a
/// release published twice from the same tree publishes the same compressed files.
class GzipBytes
{
public:
    /// One gzip member of @p plain at level 9.
    static QByteArray compress(const QByteArray &plain);

    /**
     * Inflates the one gzip member @p packed into @p plain. False with the reason in
     * @p problem for data that is no gzip member, is cut short, carries anything after its
     * member, or would inflate to more than @p maxBytes (read no further: a small file must not
     * fill the memory).
     */
    static bool inflate(const QByteArray &packed, qint64 maxBytes, QByteArray *plain,
                        QString *problem);
};
