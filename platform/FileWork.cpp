#include "FileWork.h"

#include "Notice.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// Enough threads to keep a few disks' queues busy with reads and unlinks of
// many sessions at once; a job waiting with no thread free adds one.
constexpr std::size_t kMaxWorkers = 16;

struct Job {
    FileWorkTicket ticket;
    std::function<std::intptr_t()> work;
    HWND wnd;
    unsigned msg;
};

std::atomic<FileWorkTicket> g_nextTicket{1};
std::atomic<std::size_t> g_inFlight{0};
// Told when the count reaches 0. Never destroyed: a worker may still end a
// job while exit runs.
std::mutex& idleMu() {
    static std::mutex* mu = new std::mutex;
    return *mu;
}
std::condition_variable& idleCv() {
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}

void runJob(Job& job) {
    const std::intptr_t result = job.work();
    job.work = nullptr;  // what it captured goes before the end is reported
    // Counted out only after the post: a count of 0 means that no worker
    // will touch the loop again.
    loop().post(job.wnd, job.msg, static_cast<std::intptr_t>(job.ticket), result);
    std::lock_guard<std::mutex> lk(idleMu());
    if (--g_inFlight == 0) idleCv().notify_all();
}

class Workers {
public:
    explicit Workers(pid_t pid) : pid_(pid) {}
    pid_t pid() const { return pid_; }

    // False when no thread could run the job (the caller runs it).
    bool submit(Job& job) {
        std::unique_lock<std::mutex> lk(mu_);
        if (queue_.size() >= idle_ && threads_ < kMaxWorkers) {
            try {
                std::thread([this] { work(); }).detach();
                ++threads_;
                ++idle_;
            } catch (const std::system_error& e) {
                // Go on with the threads there are (with none, the caller's).
                if (!refusalNoticed_)
                    postNotice("File work: the system refused a worker thread (" + e.code().message() +
                               "); going on with " + std::to_string(threads_));
                refusalNoticed_ = true;
            }
        }
        if (threads_ == 0) return false;
        queue_.push_back(std::move(job));
        lk.unlock();
        cv_.notify_one();
        return true;
    }

private:
    void work() {
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            cv_.wait(lk, [this] { return !queue_.empty(); });
            --idle_;
            Job job = std::move(queue_.front());
            queue_.pop_front();
            lk.unlock();
            runJob(job);
            lk.lock();
            ++idle_;
        }
    }

    const pid_t pid_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> queue_;
    std::size_t threads_ = 0, idle_ = 0;
    bool refusalNoticed_ = false;
};

// Threads live for the process's life (detached, never freed), so that a job
// still running at exit finds its pool. A child made by fork has none of its
// parent's threads: it makes its own.
Workers& workers() {
    static Workers* w = nullptr;
    if (!w || w->pid() != ::getpid()) w = new Workers(::getpid());
    return *w;
}

}  // namespace

FileWorkTicket startFileWork(std::function<std::intptr_t()> job, HWND wnd, unsigned msg) {
    FileWorkTicket ticket = g_nextTicket++;
    if (ticket == 0) ticket = g_nextTicket++;
    ++g_inFlight;
    Job j{ticket, std::move(job), wnd, msg};
    if (!workers().submit(j)) runJob(j);
    return ticket;
}

std::size_t fileWorkInFlight() { return g_inFlight.load(); }

bool finishFileWork(int waitMs) {
    std::unique_lock<std::mutex> lk(idleMu());
    return idleCv().wait_for(lk, std::chrono::milliseconds(std::max(waitMs, 0)), [] { return g_inFlight.load() == 0; });
}

}  // namespace platform
