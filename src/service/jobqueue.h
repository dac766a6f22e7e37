#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
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
//
// A job may never come back (a file system that does not answer): the queue's end waits for the
// job under way for a while only, then lets its thread go, so that the process can still end.
// Such a job must not reach anything of its owner's when it does come back.
class JobQueue
{
public:
    static constexpr int EndWaitMs = 3000;

    JobQueue();
    // Drops the jobs not begun and waits for the one under way, EndWaitMs at most.
    ~JobQueue();
    JobQueue(const JobQueue &) = delete;
    JobQueue &operator=(const JobQueue &) = delete;

    void run(std::function<void()> job);
    // Waits until every job handed in so far has ended.
    void waitForDone();
    // Drops the jobs not begun.
    void clear();

private:
    // Shared with the thread, which may outlive the queue.
    struct State
    {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::function<void()>> jobs;
        bool busy = false;
        bool quit = false;
    };
    static void loop(const std::shared_ptr<State> &state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};
