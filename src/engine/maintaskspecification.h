#pragma once

#include "manifest/filespecifications.h"
#include "tasks/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The root task of one update run: product ini, lists, downloads,
// installation and deletion, strictly one after another. It owns the file
// lists that the steps hand to each other. Its outcome, progress and log are
// the run's.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager *networkManager, Mirrors *mirrors,
                          Configuration *configuration, QObject *parent,
                          double parentProgressRange);

    // Builds the five steps anew and starts the first.
    void execute() override;
    // Deletes the steps and empties the lists.
    void reset() override;

    const FileSpecifications &getFileSpecifications() const { return fileSpecifications; }

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager *networkManager;
    Mirrors *mirrors;
    Configuration *configuration;
    FileSpecifications fileSpecifications;
};
