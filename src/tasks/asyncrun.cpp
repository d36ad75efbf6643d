#include "tasks/asyncrun.h"

#include "tasks/asyncfunc.h"

#include <QThread>

ASyncRun::ASyncRun(ASyncFunc *func) : func(func)
{
    setAutoDelete(true);
    // An object without thread affinity may be pulled by whichever thread
    // picks it up; the pool thread does so in run().
    func->moveToThread(nullptr);
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->moveToThread(QThread::currentThread());
    func->execute();
}
