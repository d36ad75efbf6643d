#pragma once

#include "manifest/blocklist.h"
#include "manifest/sha256.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVector>

class SessionFile;

/**
 * @class BlockReceiver
 * @brief Takes the fetched bytes of a file put together from blocks, checks every block against
 * the file's block list as soon as it is complete, and writes it to its place.
 *
 * A block counts as received only once its strong digest is checked and it is written: a broken
 * answer leaves its complete blocks in the file and the rest to fetch again, and a wrong block
 * never reaches the file. Bytes may come in pieces of any size and from several answers in turn
 * (start() begins each); a piece that does not continue the block being collected drops it.
 * Bytes of blocks already received, and of a block's tail whose start was not seen, are
 * skipped. At most one block is held in memory.
 */
class BlockReceiver
{
public:
    enum Result {
        Taken, ///< the bytes were taken, and any block they completed was right and written
        WrongBlock, ///< a block completed by them does not have its digest (wrongBlock())
        WriteFailed ///< writing a checked block failed (the file's error())
    };

    /// Receives the blocks of @p list into @p output, which must be open and outlive this.
    BlockReceiver(const BlockList &list, SessionFile *output);

    /// Marks @p block as present already, so that its bytes are not needed.
    void markPresent(int block);
    /// Whether @p block is in the file: present from the start or received.
    bool has(int block) const { return present.at(block); }
    /// Whether every block with bytes in the @p length bytes from @p offset is in the file.
    bool hasAll(qint64 offset, qint64 length) const;
    qint64 blockSize() const { return list.blockSize(); }
    /// Blocks of the list that are not in the file yet.
    int missingCount() const { return missing; }
    /// Bytes of blocks written by take() since construction.
    qint64 receivedBytes() const { return received; }

    /// The block one answer is collecting; a default one (or reset()) collects nothing yet.
    struct Piece
    {
        int block = -1;
        QByteArray bytes;
        void reset()
        {
            block = -1;
            bytes.clear();
        }
    };

    /// Takes the bytes @p bytes of the file from @p offset on, as an answer collecting @p piece.
    Result take(Piece *piece, qint64 offset, QByteArrayView bytes);
    /// The block that take() found wrong.
    int wrongBlock() const { return wrong; }

private:
    bool complete(int block, QByteArrayView bytes, Result *result);

    BlockList list;
    SessionFile *output;
    QVector<bool> present;
    int missing;
    qint64 received = 0;
    Sha256 digest;
    int wrong = -1;
};
