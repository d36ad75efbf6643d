#pragma once

#include "releasespecification.h"

#include "manifest/releasebinding.h"
#include "manifest/releasedirectories.h"
#include "manifest/sidefile.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class ProductIniWriter;
class ScopedRsaKey;

/// Builds the mirror tree of one release:
///
///     MIRROR/VERSION/TYPE.ini          the product ini (manifest)
///     MIRROR/VERSION/TYPE.ini.sig      its signature with the first key
///     MIRROR/VERSION/TYPE.ini.sigs     the further keys' signatures (several keys only)
///     MIRROR/VERSION/TYPE.ini.gz       its gzip form
///     MIRROR/VERSION/TYPE.hashes       the side file: the SHA-256 of every stored file
///     MIRROR/VERSION/TYPE.digests(.gz) and the block list files (ReleaseMetadataWriter)
///     MIRROR/VERSION/SECTION/KEY       every file of the client tree, KEY its relative path,
///                                      or KEY = PATH + ".gz" for files stored compressed
///
/// which is where the updater looks for them below a mirror's base URL. A file link is published
/// as its target's content, a directory that holds nothing as an empty directory of the release
/// (ReleaseDirectories). Whatever cannot be published faithfully refuses the release as an
/// input failure, each entry on a line of its own (SourceTree): names that are not valid UTF-8,
/// links that leave the source tree or lead nowhere, directory links (unless followDirLinks is
/// set), entries that are neither files nor directories, and names the manifest cannot hold.
/// Nothing is written
/// until the release description, the key and the source tree have been checked; the manifest and
/// its signature are written last, so an interrupted build never leaves a manifest that names
/// files which are not there.
class ReleaseBuilder
{
public:
    enum Outcome {
        Success,
        InvalidSpecification, ///< the release description contradicts itself or names invalid paths
        InputFailure, ///< the source tree or the key cannot be read or is unusable
        OutputFailure, ///< the mirror tree cannot be written, or the release exists already
        SigningFailure ///< the manifest could not be signed
    };

    explicit ReleaseBuilder(const ReleaseSpecification &specification);

    /// Builds the release. Call once.
    Outcome build();

    /// Why build() failed, one line per problem; empty after success.
    QString errorString() const;

    /// Path of the manifest written (valid once build() has got that far).
    QString iniPath() const;

    /// Files published, and how many of them are stored compressed.
    int fileCount() const;
    int packedFileCount() const;
    int deleteCount() const;
    /// The directories of the release that hold nothing, and those it removes when empty.
    const ReleaseDirectories &releaseDirectories() const { return directories; }

    /// Whether the public key built into this program verifies the new manifest, i.e. whether
    /// an updater of this build would accept the release.
    bool verifiesWithBuiltInKey() const;

private:
    using Keys = std::vector<std::unique_ptr<ScopedRsaKey>>;

    bool checkSpecification();
    bool loadKeys(Keys &keys);
    bool collectFiles();
    // Adds what the release named by --previous installed or deleted and this one does not
    // bring to the paths to delete.
    bool takePreviousDeletes(ScopedRsaKey &key);
    bool checkPaths();
    bool prepareOutput();
    bool storeFile(const QString &relativePath, bool packed, ProductIniWriter &ini);
    // Makes everything written so far durable at once, before the signature is written.
    bool syncTree();
    bool sign(Keys &keys);
    bool fail(Outcome outcome, const QString &text);

    ReleaseSpecification spec;
    QStringList files;
    ReleaseDirectories directories;
    QString versionDir;
    QString sectionDir;
    QString manifestPath;
    SideFile sideFile;
    // The lines of each file's list file, by side file path: finer lists than the side file's.
    QHash<QString, QByteArray> listLines;
    int packedCount = 0;
    bool builtInKeyVerifies = false;
    Outcome outcome = Success;
    QString error;
};
