#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>
#include <thread>

// A UDP server on 127.0.0.1 that answers request number i with answers[i]
// (the last answer repeats; a null answer means "stay silent", an empty one
// is an empty datagram). It runs on
// its own thread because the version query blocks the caller's thread while
// it waits for the answer. A forged answer, when given, is sent to the
// requester from another port just before each real one.
class UdpAnswerServer
{
public:
    explicit UdpAnswerServer(const QList<QByteArray> &answers,
                             const QByteArray &forgedAnswer = QByteArray());
    ~UdpAnswerServer();

    quint16 port() const { return boundPort; }
    int requestCount() const { return requests.load(); }
    // The bytes of the first request received.
    QByteArray firstRequest() const;

private:
    void serve();

    QList<QByteArray> answers;
    QByteArray forged;
    int fd = -1;
    quint16 boundPort = 0;
    std::atomic<int> requests {0};
    std::atomic<bool> stopping {false};
    QByteArray first;
    std::thread worker;
};

// Path of the updater executable under test.
QString updaterExecutable();

// An installation directory holding a copy of the built updater, so that a
// test can give it its own update.ini, mirrors.ini and leftovers, and run it
// as a child process.
class InstallationDir
{
public:
    // Holds a copy of executable: the updater under test unless told otherwise (an updater
    // built with another set of trusted keys).
    explicit InstallationDir(const QString &executable = updaterExecutable());

    bool isValid() const { return valid; }
    QString path() const { return dir.path(); }
    QString filePath(const QString &relative) const { return dir.filePath(relative); }
    QString executable() const { return dir.filePath(QStringLiteral("update")); }

    void writeFile(const QString &relative, const QByteArray &content) const;
    // A mirrors.ini naming one mirror, "local", at baseUrl.
    void writeMirrorsIni(const QString &baseUrl) const;

    // Environment for the child: offscreen platform, English locale, boxes
    // answered by boxAnswers, temporary files in tempDir, version server on
    // 127.0.0.1:serverPort (0 leaves the built-in host).
    QProcessEnvironment environment(const QString &tempDir, const QString &boxAnswers,
                                    quint16 serverPort) const;

    struct Result
    {
        bool finished = false;
        int exitCode = -1;
        QString standardError;
    };
    // Runs the updater to its end, at most timeoutMs.
    Result run(const QStringList &args, const QProcessEnvironment &env,
               int timeoutMs = 30000) const;

private:
    QTemporaryDir dir;
    bool valid = false;
};

// An updater started as a child process whose standard error is collected as it comes, while
// the caller's event loop keeps its local servers answering. Given a wrapper (strace, unshare
// and their arguments), the updater runs under it. Killed at destruction if still running.
class RunningUpdater
{
public:
    RunningUpdater(const InstallationDir &dir, const QStringList &args,
                   const QProcessEnvironment &env, const QStringList &wrapper = QStringList());
    ~RunningUpdater();

    QString log();
    // Whether the updater said its run is set up ("Ready to update").
    bool isReady() { return log().contains(QLatin1String("Ready to update")); }
    // Waits until text is logged; false at the time-out or when the updater ended without it.
    bool waitForLog(const QString &text, int timeoutMs = 30000);
    bool waitForEnd(int timeoutMs = 60000);
    // The exit code of an updater that ended normally, else -1.
    int exitCode() const;

    QProcess process;

private:
    QString collected;
    // The process group the updater (and a wrapper's children) run in.
    qint64 group = 0;
};

// Path of the updater executable under test.
QString updaterExecutable();

class QMessageBox;

// Answers the modal message boxes that the code under test opens in this
// process: each box gets the next button of the list (the last repeats) and
// its title and text are recorded. The answer is queued the moment the box
// is shown, so it comes before anything the box's own event loop would
// otherwise get to first, and no test hangs on a box.
class BoxAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit BoxAnswerer(const QStringList &answers, QObject *parent = nullptr);
    ~BoxAnswerer() override;

    QStringList texts() const { return seen; }
    int count() const { return int(seen.size()); }
    // The button texts of each box, in the order of texts(), without "&".
    QList<QStringList> buttonTexts() const { return seenButtons; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void answer(QMessageBox *box, const QString &buttonText);

    QStringList answers;
    QStringList seen;
    QList<QStringList> seenButtons;
};

// Publishes a signed release of the client files in sourceDir into the
// mirror tree mirrorRoot (mirrorRoot/VERSION/TYPE.ini, .sig and the files),
// with the real release tool and the development signing key. extraArgs go
// to the tool as they are (--gzip, --delete). Returns the tool's complaint,
// or an empty text on success.
QString publishRelease(const QString &sourceDir, const QString &mirrorRoot, const QString &type,
                       int version, const QStringList &extraArgs = QStringList());

// Turns the release VERSION of TYPE in mirrorRoot, as publishRelease() made it, into one as
// published before digests files and compressed metadata: the ini without the digests file's
// keys (signed anew with the development key), no digests file, no list files, no gzip forms of
// the metadata. Returns a complaint, or an empty text on success.
QString publishAsBeforeDigests(const QString &mirrorRoot, const QString &type, int version);

// Removes the gzip forms of the ini, the digests file and the lists of a published release, as
// on a mirror that lacks them.
void removeCompressedMetadata(const QString &mirrorRoot, const QString &type, int version);

// The gzip file of data (gzip -9 without name or time).
QByteArray gzipped(const QByteArray &data);

// Writes content to path, creating the directories above it. True when all of
// it was written.
bool writeFile(const QString &path, const QByteArray &content);

// Writes a file below root, creating its directories. True when all of it was
// written.
bool writeTreeFile(const QString &root, const QString &relative, const QByteArray &content);

// The whole content of the file at path, or "<unreadable>" when it cannot be
// opened, so that a missing file never passes for an empty one.
QByteArray readAll(const QString &path);

// Every entry below root by its relative path: "dir" for a directory, else the
// file's md5OfFile(); the relative paths in skip are left out.
QMap<QString, QByteArray> treeDigests(const QString &root, const QStringList &skip);

// MD5 of data as 32 lower-case hex digits, the way product inis write it.
QString md5Of(const QByteArray &data);

// MD5 of the file at path as md5Of() gives it, read in pieces; empty when the
// file cannot be opened.
QString md5OfFile(const QString &path);

// size bytes counting up from seed in a cycle of 61, the same on every run;
// different seeds give different bodies, and a shorter pattern is a prefix of
// a longer one.
QByteArray pattern(int size, char seed = 'a');

// size bytes of a random sequence started from seed, the same on every run: content that does
// not compress and in which no block repeats.
QByteArray randomBytes(quint32 seed, qsizetype size);

class QSignalSpy;

// The first argument of every signal the spy recorded, as text (messages,
// errors).
QStringList signalTexts(const QSignalSpy &spy);

// Writes update.ini beside the test executable, where Configuration reads it.
// True when all of it was written.
bool writeSettingsFile(const QByteArray &content);

// Writes mirrors.ini beside the test executable, where the engine reads its
// mirror list. True when all of it was written.
bool writeMirrorsFile(const QByteArray &content);

// Paths in a temporary directory, each in a subdirectory of its own: the
// settings library caches parsed files by path and would not notice a rewrite
// of the same size within the same second.
class FreshPaths
{
public:
    bool isValid() const { return dir.isValid(); }

    // The path name below a directory that no earlier call gave; that directory
    // exists, nothing below it does.
    QString path(const QString &name);

    // Writes content to a fresh path for name and returns the path. A file that
    // cannot be written ends the test program, as nothing after it would mean
    // anything.
    QString write(const QString &name, const QByteArray &content);

private:
    QTemporaryDir dir;
    int serial = 0;
};
