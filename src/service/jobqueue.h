#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs jobs one at a time, in the order given, on a thread of its own: work that may wait (a
// session service slow to answer, a pass over every process of the machine) and must not hold
// up the thread that hands it in. A job hands its result back itself, by a queued call.
//
// The thread is made at the first job and kept. Where the system has none to give then (its
// thread limit reached, by anyone), the job runs at once on the caller's thread, and the next
// job tries again: late, but neither lost nor stuck. (A QThreadPool leaves a job for good to a
// thread that could not be made, and its waitForDone then never returns.)
class JobQueue
{
public:
    JobQueue() = default;
    // Drops the jobs not begun and waits for the one under way.
    ~JobQueue();
    JobQueue(const JobQueue &) = delete;
    JobQueue &operator=(const JobQueue &) = delete;

    void run(std::function<void()> job);
    // Waits until every job handed in so far has ended.
    void waitForDone();
    // Drops the jobs not begun.
    void clear();

private:
    void loop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_jobs;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};
