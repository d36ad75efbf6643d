#pragma once

#include "tasks/taskspecification.h"

#include <QList>
#include <QStringList>

// What one execution of a task did, observed from outside.
struct TaskRun
{
    // Whether finished() or canceled() came before execute() returned.
    bool endedInsideExecute = false;
    TaskSpecification::TaskState stateAfterExecute = TaskSpecification::Idle;
    int finished = 0;
    int canceled = 0;
    // Whether every finished()/canceled() named the task itself.
    bool signalsNameTask = true;
    TaskSpecification::TaskState state = TaskSpecification::Idle;
    QStringList messages;
    QList<double> progress;
};

// Executes the task and waits (bounded) for its end; then lets pool work and
// queued signals drain, and keeps the event loop running settleMs longer for
// what arrives from outside the process, so that a second end would be counted
// too. A run that never ends shows as finished == canceled == 0.
TaskRun runTask(TaskSpecification &task, int settleMs = 0);
