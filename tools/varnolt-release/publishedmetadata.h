#pragma once

#include "manifest/releasebinding.h"
#include "manifest/sidefile.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

/// What a release's metadata files must be, for whoever checks a published copy of them: the
/// side file and the digests file as the signed ini binds them, each list file as the digests
/// file binds it, and every gzip form the same bytes as its plain file.
class PublishedMetadata
{
public:
    /**
     * The list files that the digests file @p digests binds, by their path below the version
     * directory (SideFile::listPathOf()). False with the reason in @p problem for bytes that are
     * no digests file.
     */
    static bool listsOf(const QByteArray &digests, QMap<QString, SideFile::ListBinding> *lists,
                        QString *problem);

    /// Why @p data is not the file of @p size bytes with the SHA-256 @p sha256; empty when it is.
    static QString mismatch(const QByteArray &data, const QByteArray &sha256, qint64 size);

    /// Why @p packed is not a gzip form of the plain file of @p size bytes with the SHA-256
    /// @p sha256; empty when it is. Inflation stops past that size, so a bomb costs nothing.
    static QString gzipMismatch(const QByteArray &packed, const QByteArray &sha256, qint64 size);

    /**
     * Checks the files the ini at @p iniPath (bound by @p binding) names beside it, and the gzip
     * forms published beside the ini, the digests file and the lists: one line each into
     * @p lines ("side file PATH matches", "list file PATH does NOT match: REASON"). False when a
     * file is missing or wrong; a missing gzip form only costs updaters bytes and is noted.
     */
    static bool checkBeside(const QString &iniPath, const QByteArray &ini,
                            const ReleaseBinding &binding, QStringList *lines);
};
