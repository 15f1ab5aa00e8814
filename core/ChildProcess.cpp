#include "core/ChildProcess.h"

#include "core/DetachedLaunch.h"

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
{}

ChildProcess::~ChildProcess() = default;

// Runs in the child between fork and exec; Qt's own pipe that reports the exec closes itself on exec already.
void ChildProcess::setupChildProcess()
{
    DetachedLaunch::keepOnlyStandardDescriptors();
}
