#pragma once
// What tarnctl needs of its terminal: the interrupt keys and standard input a piece at a time.
//   Linux:   SIGINT and SIGTERM through a self-pipe; a notifier on descriptor 0.
//   Windows: the console control handler (Ctrl+C, Ctrl+Break, the window closed) and a reader
//            thread on the input handle, in the Qt-free layer (console_win.cpp).
// Threads: the signals arrive on the thread that made the object. One object per process, since
// the interrupt keys are the process's own.

#include <QByteArray>
#include <QObject>

#include <memory>

class Terminal : public QObject
{
    Q_OBJECT
public:
    explicit Terminal(QObject *parent = nullptr);
    ~Terminal() override;

    // Whether standard input can be read at all (it may be closed).
    bool hasInput() const;
    // Asks for the next piece of standard input: one inputRead or inputEnded follows, so that a
    // reader that stops asking holds the rest back where it came from.
    void readInput();

    // Every byte to standard output (1) or error (2) as it is, no line-end translation; gives up
    // quietly on a closed terminal or pipe, since nothing more can be said there.
    static void writeAll(int fd, const QByteArray &bytes);

signals:
    void interrupted();
    void inputRead(const QByteArray &bytes);
    void inputEnded();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
