#pragma once

#include "manifest/filespecifications.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;

/**
 * @class StrongDigests
 * @brief Gives a run's downloads what the release's digests file (or, for a release published
 * before those, its side file) says of them: their SHA-256, and the block list the ones that are
 * put together from blocks or segments need.
 *
 * Only the files that are fetched, or reused from an earlier session, need the file: an
 * up-to-date installation never reads it. Part of the list building, on its thread.
 */
class StrongDigests
{
public:
    /// @p path is the digests or side file in the session (empty for a release without one);
    /// @p listsApart says it is a digests file, whose lists are files of their own.
    StrongDigests(const QString &path, bool listsApart, qint64 segmentFrom)
        : path(path), listsApart(listsApart), segmentFrom(segmentFrom)
    {
    }

    /// Forgets the reused copies of an earlier run.
    void clear() { reused = {}; }

    /// Whether the release has a file of strong digests at all.
    bool exist() const { return !path.isEmpty(); }

    /// A copy an earlier session left, with the MD5 the release gives: it stands in for the
    /// download at @p position of the list once its SHA-256 matches too.
    void addReused(qsizetype position, FileDownloadSpecification download, QByteArray sha256)
    {
        reused.append({position, std::move(download), std::move(sha256)});
    }

    /**
     * Gives every download in @p downloads, and every reused copy, its SHA-256; a reused copy
     * that does not have it goes into the list after all. Downloads that use a list get it (a
     * side file's lines) or its binding (a digests file's). False with the reason in
     * @p problem when the file is unusable or lacks a file; lesser troubles go to @p notes.
     */
    bool attach(QList<FileDownloadSpecification> &downloads, QString *problem, QStringList *notes);

private:
    struct Reused
    {
        qsizetype position;
        FileDownloadSpecification download;
        QByteArray sha256;
    };

    bool wantsList(const FileDownloadSpecification &download) const;
    bool isSegmented(const FileDownloadSpecification &download) const;
    void attachListBindings(QList<FileDownloadSpecification> &downloads, const QByteArray &digests,
                            QStringList *notes) const;
    void attachBlockLines(QList<FileDownloadSpecification> &downloads, QIODevice *sideFile) const;

    const QString path;
    const bool listsApart;
    const qint64 segmentFrom;
    QList<Reused> reused;
};
