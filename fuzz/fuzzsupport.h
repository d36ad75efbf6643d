#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// What the fuzz targets share. A target stops with abort() when a property of a reader does not
// hold; libFuzzer then keeps the input as crash-<hash> and prints the stack, as for a crash.
namespace Fuzz {

// Makes the application object once: the updater finds its installation directory (the
// directory of the executable) and update.ini through it. Qt sees only the program name, never
// libFuzzer's options.
void startApplication(const char *programName);

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Writes @p data to @p path, replacing what was there, and gives the file a modification time
// no earlier call gave. The settings reader keeps what it parsed of a file and parses it again
// only when its size or modification time (in milliseconds) changed: an input written within
// the same millisecond as an earlier one of the same size would be judged by the earlier one's
// content, and a crash found that way would not reproduce.
void writeFile(const QString &path, const QByteArray &data);

// Creates @p path with its parent directories: a file holding @p content, or a directory when
// @p content is null. For the fixtures a target sets up once.
void makeFixture(const QString &path, const QByteArray &content = QByteArray());

// Whether @p relative, joined to the directory @p root, names something strictly below it:
// not empty, not absolute, no ".." component, no NUL (the system call would see a shorter
// path) and, cleaned, still below @p root.
bool staysBelow(const QString &root, const QString &relative);

// Stops the target: @p property, which must hold, does not. @p detail shows the offending text.
[[noreturn]] void fail(const char *property, const QString &detail = QString());

} // namespace Fuzz
