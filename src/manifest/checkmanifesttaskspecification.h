#pragma once

#include "manifest/manifestcheck.h"
#include "tasks/asynctaskspecification.h"

#include <memory>

/// Checks the run's product ini on a pool thread (ManifestVerdict::check()): the signature with
/// the trusted keys and the release binding against what the run expects.
///
/// The verdict travels in manifestChecked(), emitted once per run whose result arrives while the
/// task is Running, just before the task finishes. The task always finishes: what a refusal
/// means (another mirror, the end of the run) is the caller's decision.
class CheckManifestTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckManifestTaskSpecification(const QString &iniPath, const ManifestExpectation &expectation,
                                   QObject *parent, double parentProgressRange);

signals:
    void manifestChecked(const ManifestVerdict &verdict);

protected:
    ASyncFunc *createFunction() override;
    void runDone(bool ok) override;

private:
    const QString iniPath;
    const ManifestExpectation expectation;
    // Written by the run's work object, read once its result has arrived; shared so that a work
    // object outliving this task writes into memory that is still there.
    std::shared_ptr<ManifestVerdict> verdict;
};
