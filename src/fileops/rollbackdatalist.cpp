#include "fileops/rollbackdatalist.h"

#include "fileops/installjournal.h"

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData &record)
{
    list.append(record);
}

void RollbackDataList::appendList(const RollbackDataList &other)
{
    // Through a copy, so that a journal can be appended to itself safely.
    const QList<RollbackData> records = other.list;
    list.append(records);
}

void RollbackDataList::clear()
{
    // Not QList::clear(), which keeps (or, while shared, allocates anew) the whole capacity.
    list = {};
}

bool RollbackDataList::rollback(QObject *reporter)
{
    bool result = true;
    while (!list.isEmpty()) {
        const RollbackData record = list.takeLast();
        if (!record.rollback(reporter))
            result = false;
    }
    return result;
}

bool RollbackDataList::announce(const RollbackData &record)
{
    return !disk || disk->append(record);
}
