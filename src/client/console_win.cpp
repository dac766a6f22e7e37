#include "console_win.h"

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace console {

namespace {

std::mutex g_interruptLock;
std::function<void()> g_interrupt;

BOOL WINAPI onControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    // Called under the lock, so that a withdrawn callback is not running and will not run.
    const std::lock_guard<std::mutex> lock(g_interruptLock);
    if (!g_interrupt)
        return FALSE;
    g_interrupt();
    return TRUE;
}

} // namespace

void onInterrupt(std::function<void()> callback)
{
    const std::lock_guard<std::mutex> lock(g_interruptLock);
    const bool first = !g_interrupt;
    g_interrupt = std::move(callback);
    if (first)
        SetConsoleCtrlHandler(onControl, TRUE);
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    const HANDLE h = GetStdHandle(fd == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return false;
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 1u << 20 ? 1u << 20 : DWORD(size);
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

struct InputReader::Shared
{
    std::mutex lock;
    std::condition_variable wanted;
    int requests = 0;
    bool done = false; // the owner is gone, or the input has ended
    Callback onData;
};

InputReader::InputReader(Callback onData)
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE || GetFileType(in) == FILE_TYPE_UNKNOWN)
        return;
    m_shared = std::make_shared<Shared>();
    m_shared->onData = std::move(onData);
    std::thread([shared = m_shared, in] {
        std::vector<char> buf(65536);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(shared->lock);
                shared->wanted.wait(lock, [&] { return shared->requests > 0 || shared->done; });
                if (shared->done)
                    return;
                --shared->requests;
            }
            DWORD n = 0;
            const bool ok = ReadFile(in, buf.data(), DWORD(buf.size()), &n, nullptr) != 0;
            const std::lock_guard<std::mutex> lock(shared->lock);
            if (shared->done)
                return;
            if (!ok || n == 0)
                shared->done = true;
            shared->onData(buf.data(), ok ? n : 0);
            if (shared->done)
                return;
        }
    }).detach();
}

InputReader::~InputReader()
{
    if (!m_shared)
        return;
    const std::lock_guard<std::mutex> lock(m_shared->lock);
    m_shared->done = true;
    m_shared->onData = nullptr;
    m_shared->wanted.notify_all();
}

bool InputReader::open() const
{
    return m_shared != nullptr;
}

void InputReader::request()
{
    if (!m_shared)
        return;
    const std::lock_guard<std::mutex> lock(m_shared->lock);
    ++m_shared->requests;
    m_shared->wanted.notify_all();
}

} // namespace console
