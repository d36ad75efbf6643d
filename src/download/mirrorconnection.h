#pragma once

#include "download/ftpsiteaccessdata.h"

#include <QString>

class QNetworkReply;
class QNetworkRequest;
class QUrl;

/**
 * @class MirrorConnection
 * @brief Which of a mirror's connections a request goes over, and whether a request that ended
 * without an answer was refused unprocessed.
 *
 * An HTTP/2 server ends a connection when it likes (after so many requests, when idle, when
 * shutting down) with a GOAWAY frame; the streams it had not started it refuses, and HTTP/2
 * guarantees it never processed them, so they may be sent again on a new connection. The
 * network stack keeps such a connection cached under the host's name and queues later requests
 * on it, where they are never sent. A request therefore names the mirror's connection number
 * (FTPSiteAccessData::connection) as its TLS peer name, which is part of the key the stack
 * finds its connection by: a new number opens a new connection. The name still verifies
 * against the mirror's certificate: the host written another way (another case of its letters,
 * an address with another spelling). Over plain HTTP it is only a key.
 *
 * Stateless.
 */
class MirrorConnection
{
public:
    /// How a request ended, as far as its connection is concerned.
    enum Ending {
        Answered, ///< an answer came, or an error no refusal explains
        StreamRefused, ///< the server refused the stream and goes on serving the connection
        ConnectionEnded ///< the server ended the connection before starting the stream
    };

    /// Engine ticks a request may wait for its answer on a connection the server may have ended
    /// before it is taken for refused (Mirrors::waitsOnEndedConnection()).
    static constexpr int UnsentTicks = 2;

    /// Sets what @p request needs to go over @p mirror's current connection: HTTP/2 by prior
    /// knowledge where its group says so, and the peer name of its connection number.
    static void prepare(QNetworkRequest &request, const FTPSiteAccessData &mirror);

    /// The peer name for connection @p number of the host of @p url; empty for 0 (the host's
    /// own name). Different for every number, and for HTTPS always a spelling of the host.
    static QString peerName(const QUrl &url, int number);

    /// How @p reply, which has finished with an error, ended: a refusal only when no answer came.
    static Ending ending(const QNetworkReply *reply);
};
