#pragma once

#include "tasks/composedtaskspecification.h"

#include <QList>
#include <QString>

// Deletes, as far as it can, every entry of the delete list (paths relative
// to the installation directory): files the product no longer has and the
// old copies the replacements moved aside. Missing or undeletable files are
// skipped; the list finishes unless the user cancels. Not journalled: once
// it runs, the installation is committed.
//
// Reads the list when it executes, so entries added by the replacements
// are seen.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<QString> *deleteList, QObject *parent,
                                    double parentProgressRange);

    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<QString> *deleteList;
};
