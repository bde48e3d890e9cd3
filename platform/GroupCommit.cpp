#include "GroupCommit.h"

#include "Notice.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace platform {

struct CommitAccess {
    static std::vector<CommitSet::Item>& items(CommitSet& set) { return set.items_; }
};

CommitSet::CommitSet() = default;
CommitSet::~CommitSet() = default;
CommitSet::CommitSet(CommitSet&&) noexcept = default;
CommitSet& CommitSet::operator=(CommitSet&&) noexcept = default;

std::string numberedName(const std::string& folder, const std::string& stem, int number) {
    if (number == 0) return folder + stem + ".txt";
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%06d", number);
    return folder + stem + suffix + ".txt";
}

// Names only: the entries' types do not matter, since a folder of such a name
// would refuse the rename as well.
int highestNumberInUse(const std::string& folder, const std::string& stem) {
    int highest = -1;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return highest;
    const std::size_t numbered = stem.size() + 1 + 6 + 4;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n(e->d_name);
        if (n.size() < stem.size() + 4 || n.compare(0, stem.size(), stem) != 0 ||
            n.compare(n.size() - 4, 4, ".txt") != 0)
            continue;
        if (n.size() == stem.size() + 4) {
            highest = std::max(highest, 0);
            continue;
        }
        if (n.size() != numbered || n[stem.size()] != '_') continue;
        int number = 0;
        bool digits = true;
        for (char c : n.substr(stem.size() + 1, 6)) {
            if (c < '0' || c > '9') digits = false;
            number = number * 10 + (c - '0');
        }
        if (digits) highest = std::max(highest, number);
    }
    ::closedir(dir);
    return highest;
}

namespace {
std::string folderOf(const std::string& path);
}

void CommitSet::add(std::unique_ptr<DurableFile> file, std::string target, bool replace, Bytes toWrite) {
    items_.push_back({std::move(file), std::move(target), replace, {}, {}, -1, std::move(toWrite), {}});
}

void CommitSet::addNumbered(std::unique_ptr<DurableFile> file, std::string folder, std::string stem, int number,
                            Bytes toWrite) {
    std::string target = numberedName(folder, stem, number);
    items_.push_back(
        {std::move(file), std::move(target), false, std::move(folder), std::move(stem), number, std::move(toWrite), {}});
}

void CommitSet::addNew(std::string target, Bytes toWrite) {
    std::string folder = folderOf(target);
    items_.push_back({nullptr, std::move(target), false, {}, {}, -1, std::move(toWrite), std::move(folder)});
}

void CommitSet::addNumbered(std::string folder, std::string stem, int number, Bytes toWrite) {
    std::string target = numberedName(folder, stem, number);
    std::string makeIn = folder;
    items_.push_back({nullptr, std::move(target), false, std::move(folder), std::move(stem), number,
                      std::move(toWrite), std::move(makeIn)});
}

bool CommitSet::holds(const std::string& target) const {
    for (const auto& item : items_)
        if (item.target == target) return true;
    return false;
}

namespace {

// Flushes in flight follow the work that waits: a slow disk takes many
// flushes at once much better than one after another, so a thread is added
// whenever a job waits with no thread free, up to this many. Threads, once
// made, stay for the process's life.
constexpr unsigned kMinFlushThreads = 4;
unsigned maxFlushThreads() {
    static const unsigned most = [] {
        const char* v = std::getenv("TAVRIN_FLUSH_THREADS");
        const long n = v ? std::strtol(v, nullptr, 10) : 0;
        return n >= 1 && n <= 1024 ? static_cast<unsigned>(n) : 64u;
    }();
    return most;
}
// Looks at the folder again this many times for a numbered name found taken.
constexpr int kNameAttempts = 100;
// A larger group would keep the first of its sessions waiting for the last.
constexpr std::size_t kMaxGroupFiles = 256;

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Threads that run flushes. submit() queues a job; runAll() queues a round
// of jobs and returns when all have ended.
class FlushPool {
public:
    FlushPool() {
        std::lock_guard<std::mutex> lk(mu_);
        for (unsigned i = 0; i < std::min(kMinFlushThreads, maxFlushThreads()); ++i)
            if (!addThread()) break;
    }
    // Runs what is queued, then ends the threads.
    ~FlushPool() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }

    void submit(std::function<void()> job) {
        {
            std::unique_lock<std::mutex> lk(mu_);
            if (queue_.size() >= idle_ && threads_.size() < maxFlushThreads()) addThread();
            if (threads_.empty()) {
                // The system refused every thread: the caller's own does it.
                lk.unlock();
                job();
                return;
            }
            queue_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

    void runAll(std::vector<std::function<void()>>& jobs) {
        struct Latch {
            std::mutex mu;
            std::condition_variable cv;
            std::size_t remaining;
        };
        auto latch = std::make_shared<Latch>();
        latch->remaining = jobs.size();
        for (auto& j : jobs)
            submit([&j, latch] {
                j();
                std::lock_guard<std::mutex> lk(latch->mu);
                if (--latch->remaining == 0) latch->cv.notify_all();
            });
        // The caller takes no job itself: the queue may hold a big file's
        // write-ahead, which must not hold up this round.
        std::unique_lock<std::mutex> lk(latch->mu);
        latch->cv.wait(lk, [&] { return latch->remaining == 0; });
    }

private:
    // With mu_ held. A thread the system refuses (a pids cgroup, the
    // process limit, memory) is no failure: the pool goes on with the
    // threads it has, and says so once.
    bool addThread() {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error& e) {
            if (!refusalNoticed_) {
                refusalNoticed_ = true;
                postNotice("Group commit: the system refused a flush thread (" + e.code().message() +
                           "); going on with " + std::to_string(threads_.size()));
            }
            return false;
        }
        ++idle_;
        return true;
    }

    void work() {
        std::unique_lock<std::mutex> lk(mu_);
        for (;;) {
            cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
            --idle_;
            if (queue_.empty()) return;
            std::function<void()> job = std::move(queue_.front());
            queue_.pop_front();
            lk.unlock();
            job();
            lk.lock();
            ++idle_;
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;  // threads waiting for a job
    bool refusalNoticed_ = false;
};

std::atomic<std::uint64_t> g_namesMoved{0};

struct Request {
    CommitTicket ticket = 0;
    HWND wnd = NullWindow;
    unsigned msg = 0;
    std::vector<CommitSet::Item> items;
    std::vector<std::string> added;  // the targets as added (for pending_)
    std::vector<int> flushErrors;
    std::vector<std::string> placedNew;  // new files in place, to remove on failure
    int error = 0;
    std::promise<int>* waiter = nullptr;  // commitNow
    bool written = false;  // written and flushed ahead (flushErrors hold the outcome)
};

// A set with this much still to write is written and flushed ahead, apart,
// and joins the renames only then: a big message must not keep the small
// ones that end after it waiting for its flush.
constexpr std::size_t kWriteAheadBytes = 256 * 1024;

std::size_t bytesToWrite(const Request& r) {
    std::size_t n = 0;
    for (const auto& item : r.items) n += contentSize(item.toWrite);
    return n;
}

// Writes what is left to write of an item's file and flushes it: 0 or the
// errno of the failure. The bytes are let go once written.
int writeAndSync(CommitSet::Item& item) {
    const bool made = !item.file;
    if (made) item.file = std::make_unique<DurableFile>(item.makeIn);
    DurableFile& f = *item.file;
    bool ok = f.write(item.toWrite);
    item.toWrite.clear();
    if (ok) ok = made ? f.syncAndClose() : f.sync();
    return ok ? 0 : (f.error() ? f.error() : EIO);
}

// Renames one file into place; a numbered name found taken moves on to the
// next free number. 0 or the errno of the failure.
int placeItem(CommitSet::Item& item) {
    for (int attempt = 0;; ++attempt) {
        if (item.file->place(item.target, item.replace)) return 0;
        const int err = item.file->error() ? item.file->error() : EIO;
        if (err != EEXIST || item.number < 0 || attempt >= kNameAttempts) return err;
        const int next = std::max(item.number, highestNumberInUse(item.folder, item.stem)) + 1;
        if (next > MaxNameNumber) return EEXIST;
        item.number = next;
        item.target = numberedName(item.folder, item.stem, next);
        ++g_namesMoved;
    }
}

// Takes back the new files a failed set had placed; returns their folders,
// which want a flush for the removal to last.
std::set<std::string> removePlaced(Request& r) {
    std::set<std::string> folders;
    for (auto it = r.placedNew.rbegin(); it != r.placedNew.rend(); ++it) {
        ::unlink(it->c_str());
        folders.insert(folderOf(*it));
    }
    r.placedNew.clear();
    return folders;
}

class Committer {
public:
    Committer() : pid_(::getpid()), thread_([this] { runThenEnd(); }) {}

    pid_t pid() const { return pid_; }

    void enqueue(std::unique_ptr<Request> r) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            for (const auto& target : r->added) pending_.insert(target);
            undecided_.insert(r->ticket);
            queue_.push_back(std::move(r));
        }
        cv_.notify_one();
    }

    // True when the commit's outcome was not decided yet: it will be
    // reported as ECANCELED, with nothing of it left in place.
    bool cancel(CommitTicket ticket) {
        std::lock_guard<std::mutex> lk(mu_);
        if (undecided_.count(ticket) == 0) return false;
        cancelled_.insert(ticket);
        return true;
    }

    bool pending(const std::string& target) {
        std::lock_guard<std::mutex> lk(mu_);
        return pending_.count(target) != 0;
    }

    // Commits what is queued, then ends the thread (at exit). Waits at most
    // waitMs (below 0: for good); false when the thread has not ended by
    // then, a flush that the disk holds: the thread is then left as it is.
    bool shutdown(int waitMs) {
        std::unique_lock<std::mutex> lk(mu_);
        stop_ = true;
        cv_.notify_one();
        if (waitMs < 0)
            ended_.wait(lk, [this] { return runEnded_; });
        else if (!ended_.wait_for(lk, std::chrono::milliseconds(waitMs), [this] { return runEnded_; }))
            return false;
        lk.unlock();
        if (thread_.joinable()) thread_.join();
        return true;
    }

private:
    // The flush pool lives inside run(): its threads are joined, and every
    // report posted, before the end is told.
    void runThenEnd() {
        run();
        std::lock_guard<std::mutex> lk(mu_);
        runEnded_ = true;
        ended_.notify_all();
    }

    void run() {
        FlushPool pool;
        for (;;) {
            std::vector<std::unique_ptr<Request>> group, ahead;
            {
                std::unique_lock<std::mutex> lk(mu_);
                cv_.wait(lk, [this] { return !queue_.empty() || (stop_ && writingAhead_ == 0); });
                if (queue_.empty()) return;
                // Everything that came in while the last group was on its way
                // goes together, but for big sets not yet written.
                std::size_t files = 0;
                while (!queue_.empty() && (group.empty() || files + queue_.front()->items.size() <= kMaxGroupFiles)) {
                    std::unique_ptr<Request> r = std::move(queue_.front());
                    queue_.pop_front();
                    if (!r->written && cancelled_.count(r->ticket) == 0 && bytesToWrite(*r) >= kWriteAheadBytes) {
                        ++writingAhead_;
                        ahead.push_back(std::move(r));
                        continue;
                    }
                    files += r->items.size();
                    group.push_back(std::move(r));
                }
            }
            for (auto& r : ahead) writeAhead(pool, std::move(r));
            if (!group.empty()) commitGroup(pool, group);
        }
    }

    // Writes and flushes a big set's files on the pool; the set then queues
    // again, behind the sets that came meanwhile, and is placed with them.
    void writeAhead(FlushPool& pool, std::unique_ptr<Request> request) {
        Request* r = request.release();
        pool.submit([this, r] {
            std::unique_ptr<Request> back(r);
            back->flushErrors.assign(back->items.size(), ECANCELED);
            for (std::size_t i = 0; i < back->items.size() && !cancelled(back->ticket); ++i)
                back->flushErrors[i] = writeAndSync(back->items[i]);
            back->written = true;
            {
                std::lock_guard<std::mutex> lk(mu_);
                queue_.push_back(std::move(back));
                --writingAhead_;
            }
            cv_.notify_one();
        });
    }

    void commitGroup(FlushPool& pool, std::vector<std::unique_ptr<Request>>& group) {
        std::vector<std::function<void()>> jobs;
        for (auto& r : group) {
            // A set taken back before its turn writes nothing at all.
            if (cancelled(r->ticket)) r->error = ECANCELED;
            if (r->written || r->error != 0) continue;
            r->flushErrors.assign(r->items.size(), 0);
            for (std::size_t i = 0; i < r->items.size(); ++i) {
                CommitSet::Item* item = &r->items[i];
                int* err = &r->flushErrors[i];
                jobs.push_back([item, err] { *err = writeAndSync(*item); });
            }
        }
        pool.runAll(jobs);

        // Renames one after another, in the order the names were given out;
        // a set with a file that could not be flushed places nothing.
        std::map<std::string, std::vector<Request*>> folders;
        for (auto& r : group) {
            if (takenBack(*r) && r->error == 0) r->error = ECANCELED;
            for (int err : r->flushErrors)
                if (r->error == 0 && err != 0) r->error = err;
            for (const bool replacing : {false, true}) {
                for (auto& item : r->items) {
                    if (r->error != 0 || item.replace != replacing) continue;
                    r->error = placeItem(item);
                    if (r->error != 0) break;
                    if (!item.replace) r->placedNew.push_back(item.target);
                    auto& inFolder = folders[folderOf(item.target)];
                    if (inFolder.empty() || inFolder.back() != r.get()) inFolder.push_back(r.get());
                }
            }
            // Taken back at once; the folders' flush below makes that last.
            if (r->error != 0) removePlaced(*r);
            for (auto& item : r->items) item.file.reset();  // a file not placed goes with its temporary copy
            std::lock_guard<std::mutex> lk(mu_);
            for (const auto& target : r->added) pending_.erase(target);
        }

        // The folders' flushes run while the next group is flushed and
        // renamed; this group is reported when the last of them ends.
        auto finish = std::make_shared<Finish>();
        finish->committer = this;
        finish->group = std::move(group);
        finish->remaining = folders.size();
        finish->folders = std::move(folders);
        if (finish->remaining == 0) {
            finish->report();
            return;
        }
        for (auto& f : finish->folders) {
            const std::string* folder = &f.first;
            pool.submit([finish, folder] {
                const int err = syncFolder(*folder) ? 0 : (errno ? errno : EIO);
                std::lock_guard<std::mutex> lk(finish->mu);
                if (err != 0)
                    for (Request* r : finish->folders[*folder])
                        if (r->error == 0) r->error = err;
                if (--finish->remaining == 0) finish->report();
            });
        }
    }

    struct Finish {
        std::mutex mu;
        Committer* committer = nullptr;
        std::vector<std::unique_ptr<Request>> group;
        std::map<std::string, std::vector<Request*>> folders;
        std::size_t remaining = 0;

        void report() {
            committer->decide(group);
            // A set that failed at a folder's flush, or was taken back while
            // it was placed, still has its new files in place: they go, and
            // their folders are flushed again, before anyone hears of it.
            for (auto& r : group)
                if (r->error != 0 && !r->placedNew.empty())
                    for (const auto& folder : removePlaced(*r)) syncFolder(folder);
            for (auto& r : group) {
                if (r->waiter)
                    r->waiter->set_value(r->error);
                else
                    loop().post(r->wnd, r->msg, static_cast<std::intptr_t>(r->ticket), r->error);
            }
        }
    };

    bool cancelled(CommitTicket ticket) {
        std::lock_guard<std::mutex> lk(mu_);
        return cancelled_.count(ticket) != 0;
    }

    // At its first rename a set's outcome stands, since its files may be
    // seen (fetched, or sent on) at once: a cancel that comes later is
    // refused, and its caller waits for the report instead. True when the
    // set was taken back before.
    bool takenBack(Request& r) {
        std::lock_guard<std::mutex> lk(mu_);
        undecided_.erase(r.ticket);
        return cancelled_.erase(r.ticket) != 0;
    }

    // From here on a set's outcome stands: a cancel that comes later finds
    // nothing to take back, and its caller waits for the report instead.
    void decide(std::vector<std::unique_ptr<Request>>& group) {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& r : group) {
            if (cancelled_.erase(r->ticket) != 0) r->error = ECANCELED;
            undecided_.erase(r->ticket);
        }
    }

    const pid_t pid_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<Request>> queue_;
    std::unordered_set<std::string> pending_;
    std::unordered_set<CommitTicket> undecided_, cancelled_;
    bool stop_ = false;
    std::condition_variable ended_;
    bool runEnded_ = false;
    std::size_t writingAhead_ = 0;  // big sets on the pool, to queue again
    std::thread thread_;
};

std::atomic<CommitTicket> g_nextTicket{1};
Committer* g_committer = nullptr;

// Made on first use. A child process made by fork has none of its parent's
// threads: it makes its own.
// Null when the system refuses its thread: the commit then fails, and is
// tried again with the next one.
Committer* committer() {
    if (!g_committer || g_committer->pid() != ::getpid()) {
        try {
            g_committer = new Committer();
        } catch (const std::system_error& e) {
            static bool noticed = false;
            if (!noticed)
                postNotice("Group commit: the system refused the committer's thread (" + e.code().message() + ")");
            noticed = true;
            return nullptr;
        }
    }
    return g_committer;
}

// At exit the commits under way are finished, so that no file that a client
// may already have been promised is left half-placed. A commit taken back
// (its session gone before the answer) stays taken back: the drain places
// nothing of it.
struct ExitDrain {
    ~ExitDrain() { finishCommits(); }
} g_exitDrain;

std::unique_ptr<Request> requestOf(CommitSet& set) {
    auto r = std::make_unique<Request>();
    r->ticket = g_nextTicket++;
    r->items = std::move(CommitAccess::items(set));
    for (const auto& item : r->items) r->added.push_back(item.target);
    return r;
}

}  // namespace

CommitTicket startCommit(CommitSet set, HWND wnd, unsigned msg) {
    auto r = requestOf(set);
    r->wnd = wnd;
    r->msg = msg;
    const CommitTicket ticket = r->ticket;
    if (Committer* c = committer())
        c->enqueue(std::move(r));
    else
        loop().post(wnd, msg, static_cast<std::intptr_t>(ticket), EAGAIN);
    return ticket;
}

int commitNow(CommitSet set) {
    if (set.empty()) return 0;
    auto r = requestOf(set);
    std::promise<int> done;
    std::future<int> result = done.get_future();
    r->waiter = &done;
    Committer* c = committer();
    if (!c) return EAGAIN;
    c->enqueue(std::move(r));
    return result.get();
}

bool cancelCommit(CommitTicket ticket) {
    return ticket != 0 && g_committer && g_committer->pid() == ::getpid() && g_committer->cancel(ticket);
}

bool finishCommits(int waitMs) {
    if (!g_committer || g_committer->pid() != ::getpid()) return true;
    if (!g_committer->shutdown(waitMs)) {
        // Still in a flush: neither joined nor freed, since its thread goes
        // on using it. A later commit makes a new committer.
        g_committer = nullptr;
        return false;
    }
    delete g_committer;
    g_committer = nullptr;
    return true;
}

std::uint64_t numberedNamesMoved() { return g_namesMoved.load(); }

bool commitPending(const std::string& target) {
    return g_committer && g_committer->pid() == ::getpid() && g_committer->pending(target);
}

}  // namespace platform
