#include "terminal.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
    errno = saved;
}

} // namespace

struct Terminal::Private
{
    std::unique_ptr<QSocketNotifier> interrupts;
    std::unique_ptr<QSocketNotifier> input;
};

Terminal::Terminal(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa = {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }
    if (g_signalPipe[0] >= 0) {
        d->interrupts = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        connect(d->interrupts.get(), &QSocketNotifier::activated, this, [this] {
            char buf[16];
            ssize_t n;
            while ((n = ::read(g_signalPipe[0], buf, sizeof buf)) > 0)
                for (ssize_t i = 0; i < n; ++i)
                    emit interrupted();
        });
    }
    if (::fcntl(0, F_GETFD) != -1) {
        d->input = std::make_unique<QSocketNotifier>(0, QSocketNotifier::Read);
        d->input->setEnabled(false);
        connect(d->input.get(), &QSocketNotifier::activated, this, [this] {
            char buf[65536];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                return; // still wanted: the notifier stays on
            d->input->setEnabled(false);
            if (n <= 0)
                emit inputEnded();
            else
                emit inputRead(QByteArray(buf, n));
        });
    }
}

Terminal::~Terminal() = default;

bool Terminal::hasInput() const
{
    return d->input != nullptr;
}

void Terminal::readInput()
{
    if (d->input)
        d->input->setEnabled(true);
}

void Terminal::writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}
