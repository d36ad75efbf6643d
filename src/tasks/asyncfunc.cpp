#include "tasks/asyncfunc.h"

ASyncFunc::ASyncFunc() : QObject(nullptr) { }

void ASyncFunc::execute()
{
    emit runResult(run());
}
