#include "manifest/checkmanifesttaskspecification.h"

#include "tasks/asyncfunc.h"

namespace {

class CheckManifestFunc : public ASyncFunc
{
public:
    CheckManifestFunc(const QString &iniPath, const ManifestExpectation &expectation,
                      std::shared_ptr<ManifestVerdict> verdict)
        : iniPath(iniPath), expectation(expectation), verdict(std::move(verdict))
    {
    }

    bool run() override
    {
        *verdict = ManifestVerdict::check(iniPath, expectation);
        return true;
    }

private:
    const QString iniPath;
    const ManifestExpectation expectation;
    const std::shared_ptr<ManifestVerdict> verdict;
};

} // namespace

CheckManifestTaskSpecification::CheckManifestTaskSpecification(
    const QString &iniPath, const ManifestExpectation &expectation, QObject *parent,
    double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange),
      iniPath(iniPath),
      expectation(expectation)
{
}

ASyncFunc *CheckManifestTaskSpecification::createFunction()
{
    // A fresh verdict for every run: an abandoned run's work object keeps writing into its own.
    verdict = std::make_shared<ManifestVerdict>();
    return new CheckManifestFunc(iniPath, expectation, verdict);
}

void CheckManifestTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    emit manifestChecked(*verdict);
    ASyncTaskSpecification::runDone(ok);
}
