#include "manifest/checksignaturetaskspecification.h"

#include "manifest/checksigfunc.h"

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &filePath,
                                                                 const QString &md5, bool fatal,
                                                                 QObject *parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      filePath(filePath),
      md5(md5),
      fatal(fatal)
{
}

ASyncFunc *CheckSignatureTaskSpecification::createFunction()
{
    auto *func = new CheckSigFunc(filePath, md5);
    func->setKnownDigest(knownDigest);
    func->setExpectedSha256(expectedSha256);
    func->setKnownSha256(knownSha256);
    return func;
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (!ok)
        emit message(tr("Signature check failed for %1").arg(filePath));
    emit checkDone(ok, this);
    // A failure that is not fatal still ends the run normally: the caller
    // acts on checkDone.
    ASyncTaskSpecification::runDone(ok || !fatal);
}
