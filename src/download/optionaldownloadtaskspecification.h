#pragma once

#include "tasks/composedtaskspecification.h"

class Mirrors;
class QNetworkAccessManager;

/// A download whose failure is no failure: a file a release may or may not carry (the further
/// signatures of its product ini). Runs one DownloadTaskSpecification and finishes whether or not
/// it brought the file; only a user's cancel ends it otherwise. What the download would report as
/// an error goes to the log as a message instead. The caller looks for the file itself.
class OptionalDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    OptionalDownloadTaskSpecification(QNetworkAccessManager *manager, Mirrors *mirrors,
                                      const QString &remotePath, const QString &localPath,
                                      qint64 sizeLimit, QObject *parent,
                                      double parentProgressRange);

    void execute() override;
    void reset() override;

protected:
    void connectSignals(TaskSpecification *subTask) override;
    void subtasksDone() override;

private:
    QNetworkAccessManager *manager;
    Mirrors *mirrors;
    const QString remotePath;
    const QString localPath;
    const qint64 sizeLimit;
};
