#pragma once

#include "tasks/taskspecification.h"

// Stand-in for a step of the update that is not built yet: it finishes as
// soon as it is executed. Each step's own task replaces it as it lands.
class StepStandInTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    StepStandInTaskSpecification(QObject *parent, double parentProgressRange)
        : TaskSpecification(parent, parentProgressRange)
    {
    }

    void execute() override
    {
        state = Running;
        finish();
    }
};
