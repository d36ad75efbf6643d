// The Content-Range header of a mirror's answer to a request for the rest of a file.
//
// An input is "STATUS OFFSET SIZE" on its first line and the header after it. Only an answer
// that names exactly the bytes asked for may be appended to the bytes kept: anything else
// appended would make a file that fails its MD5 at best. Resuming always asks for a rest that
// exists (0 < OFFSET < SIZE); other numbers are brought into that range.
//
// The judgement is compared with a reader of the header's grammar written here, without
// regular expressions: "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), the unit in any case,
// around it only white space.

#include "download/rangerequest.h"
#include "fuzzsupport.h"

#include <QList>

#include <limits>
#include <optional>

namespace {

// A decimal number of digits only, none too large for qint64.
std::optional<qint64> number(const QByteArray &text)
{
    if (text.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<qint64>::max() - (c - '0')) / 10)
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool namesTheRest(const QByteArray &header, qint64 offset, qint64 size)
{
    const QByteArray text = header.trimmed();
    if (text.size() < 6 || text.left(6).toLower() != "bytes ")
        return false;
    const QByteArray range = text.mid(6);
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    const std::optional<qint64> first = number(range.left(dash));
    const std::optional<qint64> last = number(range.mid(dash + 1, slash - dash - 1));
    const QByteArray total = range.mid(slash + 1);
    return first == offset && last == size - 1 && (total == "*" || number(total) == size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    const qsizetype lineEnd = input.indexOf('\n');
    const QList<QByteArray> numbers = input.left(qMax(lineEnd, qsizetype(0))).split(' ');
    const QByteArray header = lineEnd < 0 ? input : input.mid(lineEnd + 1);
    const auto field = [&numbers](int i, qint64 otherwise) {
        bool ok = false;
        const qint64 value = i < numbers.size() ? numbers.at(i).toLongLong(&ok) : 0;
        return ok ? value : otherwise;
    };
    const int status = int(qBound(qint64(-1), field(0, 206), qint64(1000)));
    qint64 fileSize = qMax(field(2, 1000), qint64(2));
    qint64 offset = field(1, 100);
    if (offset <= 0 || offset >= fileSize)
        offset = 1
            + (offset == std::numeric_limits<qint64>::min() ? 0 : qAbs(offset)) % (fileSize - 1);

    // A request for the whole file reads the status alone.
    const RangeRequest::AnswerUse whole = RangeRequest::judge(status, header, 0, fileSize);
    if (whole != RangeRequest::judge(status, QByteArray(), 0, fileSize)
        || whole == RangeRequest::AppendToFile || whole == RangeRequest::RestartFromZero)
        Fuzz::fail("a request for the whole file is taken whole or not at all",
                   QString::fromLatin1(header));

    const RangeRequest::AnswerUse rest = RangeRequest::judge(status, header, offset, fileSize);
    const bool right = status == 206 && namesTheRest(header, offset, fileSize);
    if ((rest == RangeRequest::AppendToFile) != right)
        Fuzz::fail(right ? "the rest asked for is appended" : "only the rest asked for is appended",
                   QStringLiteral("status %1, offset %2, size %3, header ")
                           .arg(status)
                           .arg(offset)
                           .arg(fileSize)
                       + QString::fromLatin1(header));
    if (status == 200 && rest != RangeRequest::TakeWhole)
        Fuzz::fail("a whole file sent instead of the rest is taken whole");
    return 0;
}
