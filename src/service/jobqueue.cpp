#include "service/jobqueue.h"

#include <chrono>
#include <system_error>

JobQueue::JobQueue()
    : m_state(std::make_shared<State>())
{
}

JobQueue::~JobQueue()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->jobs.clear();
    m_state->quit = true;
    m_state->changed.notify_all();
    const bool ended = m_state->changed.wait_for(lock, std::chrono::milliseconds(EndWaitMs),
                                                 [this] { return !m_state->busy; });
    lock.unlock();
    if (!m_thread.joinable())
        return;
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
}

void JobQueue::run(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([state = m_state] { loop(state); });
            } catch (const std::system_error &) {
                // No thread to be had now: this job waits for nothing else, on the caller's.
            }
        }
        if (m_thread.joinable()) {
            m_state->jobs.push_back(std::move(job));
            m_state->changed.notify_all();
            return;
        }
    }
    job();
}

void JobQueue::waitForDone()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->changed.wait(lock, [this] { return m_state->jobs.empty() && !m_state->busy; });
}

void JobQueue::clear()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->jobs.clear();
    m_state->changed.notify_all();
}

void JobQueue::loop(const std::shared_ptr<State> &state)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return state->quit || !state->jobs.empty(); });
        if (state->quit)
            return;
        std::function<void()> job = std::move(state->jobs.front());
        state->jobs.pop_front();
        state->busy = true;
        lock.unlock();
        job();
        job = nullptr; // what it holds goes before the queue says it is done
        lock.lock();
        state->busy = false;
        state->changed.notify_all();
    }
}
