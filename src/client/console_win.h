#pragma once
// The console of a command-line client on Windows, in plain C++: the interrupt keys and the
// standard handles.
// Threads: the interrupt callback runs on a thread the system makes for it; the reader's
// callback on the reader's own thread. Neither may touch what the caller's thread owns without
// handing it over.

#include <cstddef>
#include <functional>
#include <memory>

namespace console {

// From now on Ctrl+C, Ctrl+Break and the console's closing call callback instead of ending the
// process. One callback per process; a later call replaces it, and an empty one withdraws it:
// once withdrawn it is not running and will not run. The callback must be short.
void onInterrupt(std::function<void()> callback);

// Every byte to standard output (1) or error (2), untranslated; false once the handle is gone.
bool writeAll(int fd, const char *data, std::size_t size);

// Standard input read on a thread of its own, one piece per request: after each request,
// onData is called once with the next piece, or with size 0 at the end of the input or on an
// error. Once the reader is destroyed, onData is not running and will not run. The thread is left to end with the process when the input never ends: a read of a
// console cannot be cut short, and nothing the caller owns is reached after destruction.
class InputReader
{
public:
    using Callback = std::function<void(const char *data, std::size_t size)>;
    explicit InputReader(Callback onData);
    ~InputReader();
    bool open() const;
    void request();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

} // namespace console
