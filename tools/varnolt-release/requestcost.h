#pragma once

#include <QString>

/// What the HTTP requests of an update cost beside the bytes of the files they fetch: the
/// updater's request (its request line with the path, Host, User-Agent, Range, Accept-Encoding,
/// Connection) and the mirror's answer headers (status line, Server, Date, Content-Type,
/// Content-Length or Content-Range, Last-Modified, ETag), and in an answer with several ranges
/// each part's boundary and headers.
///
/// The figures are nginx's (1.22) answering the updater, read from its access log
/// ($request_length + $bytes_sent - $body_bytes_sent) by bench/run-cost-check.sh over an update
/// of 1,000 files: 443 bytes a request beside its path, 117 a part. A mirror with another
/// server, a longer host name or a base URL with a path costs a few bytes more a request.
class RequestCost
{
public:
    static constexpr qint64 RequestBytes = 445;
    static constexpr qint64 RangePartBytes = 115;

    /// @p versionPath is the path of the version directory on the mirror ("/42").
    explicit RequestCost(const QString &versionPath) : version(versionPath) { }

    /// A whole download of the file at @p remotePath below the version directory.
    void addFile(const QString &remotePath);
    /// The requests that fetch @p ranges ranges of the file at @p remotePath: two in the first,
    /// while the mirror has not shown that it answers several ranges, then up to 64 each.
    void addRanges(const QString &remotePath, int ranges);

    qint64 bytes() const { return total; }
    int requests() const { return count; }

private:
    void add(const QString &remotePath, int requests);

    QString version;
    qint64 total = 0;
    int count = 0;
};
