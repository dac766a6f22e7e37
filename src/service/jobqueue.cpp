#include "service/jobqueue.h"

#include <system_error>

JobQueue::~JobQueue()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.clear();
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void JobQueue::run(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { loop(); });
            } catch (const std::system_error &) {
                // No thread to be had now: this job waits for nothing else, on the caller's.
            }
        }
        if (m_thread.joinable()) {
            m_jobs.push_back(std::move(job));
            m_changed.notify_all();
            return;
        }
    }
    job();
}

void JobQueue::waitForDone()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

void JobQueue::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jobs.clear();
    m_changed.notify_all();
}

void JobQueue::loop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_quit)
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job();
        job = nullptr; // what it holds goes before the queue says it is done
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}
