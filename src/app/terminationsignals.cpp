#include "app/terminationsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

sigset_t terminationSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void TerminationSignals::block()
{
    const sigset_t set = terminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    const sigset_t set = terminationSet();
    fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        // Nobody would ever read them: let them end the process as usual
        // rather than leave it deaf to them.
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminationSignals::onActivated);
}

TerminationSignals::~TerminationSignals()
{
    // The notifier must not outlive the descriptor it watches.
    delete notifier;
    if (fd >= 0)
        ::close(fd);
}

void TerminationSignals::onActivated()
{
    signalfd_siginfo info;
    // Several signals may wait; each read takes one. Bounded by what is
    // pending, as the descriptor does not block.
    while (::read(fd, &info, sizeof info) == ssize_t(sizeof info))
        emit received(int(info.ssi_signo));
}
