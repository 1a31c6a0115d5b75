#pragma once
// Runs jobs that many threads hand in, in batches: a thread queues its jobs
// and waits; the first thread that finds no batch running runs every job
// queued so far in one call, then wakes their threads; jobs queued meanwhile
// wait for the next batch. So work that costs the same for one job as for
// many (a flush to disk) is paid once per batch, never once per job, and the
// batches grow by themselves as more threads wait.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace plat {

template <typename Job>
class Combiner {
public:
    using Batch = std::vector<Job *>;
    explicit Combiner(std::function<void(const Batch &)> runBatch) : runBatch_(std::move(runBatch)) {}
    Combiner(const Combiner &) = delete;
    Combiner &operator=(const Combiner &) = delete;

    // Returns once every job given has run, in the order given.
    void run(const Batch &jobs)
    {
        std::unique_lock lock(lock_);
        queue_.insert(queue_.end(), jobs.begin(), jobs.end());
        const std::size_t mine = finished_ + queued_ + jobs.size();
        queued_ += jobs.size();
        while (finished_ < mine) {
            if (running_) {
                done_.wait(lock);
                continue;
            }
            running_ = true;
            Batch batch;
            batch.swap(queue_);
            lock.unlock();
            try {
                runBatch_(batch);
            } catch (...) {
                // The batch's jobs stay unrun, which each job reports as its
                // own failure; the next batch must still be able to start.
            }
            lock.lock();
            finished_ += batch.size();
            queued_ -= batch.size();
            running_ = false;
            done_.notify_all();
        }
    }

private:
    const std::function<void(const Batch &)> runBatch_;
    std::mutex lock_;
    std::condition_variable done_;
    Batch queue_;
    std::size_t queued_ = 0;   // jobs queued and not yet finished
    std::size_t finished_ = 0; // jobs finished since the start
    bool running_ = false;
};

} // namespace plat
