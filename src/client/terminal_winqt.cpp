#include "terminal.h"
#include "console_win.h"

#include <QMetaObject>

struct Terminal::Private
{
    std::unique_ptr<console::InputReader> input;
};

Terminal::Terminal(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    // Both callbacks come from other threads and only post to this object's thread: neither
    // runs once withdrawn (the destructor), and a call posted to an object that is gone is
    // dropped by Qt.
    console::onInterrupt([this] {
        QMetaObject::invokeMethod(this, [this] { emit interrupted(); }, Qt::QueuedConnection);
    });
    d->input = std::make_unique<console::InputReader>([this](const char *data, std::size_t size) {
        const QByteArray piece(data, qsizetype(size));
        QMetaObject::invokeMethod(this, [this, piece] {
            if (piece.isEmpty())
                emit inputEnded();
            else
                emit inputRead(piece);
        }, Qt::QueuedConnection);
    });
}

Terminal::~Terminal()
{
    console::onInterrupt(nullptr);
}

bool Terminal::hasInput() const
{
    return d->input->open();
}

void Terminal::readInput()
{
    d->input->request();
}

void Terminal::writeAll(int fd, const QByteArray &bytes)
{
    console::writeAll(fd, bytes.constData(), std::size_t(bytes.size()));
}
