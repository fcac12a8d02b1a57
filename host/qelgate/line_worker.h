// The one thread that talks to the serial line: it takes requests from the
// fair queue, runs their driver exchanges one at a time and hands the
// finished ones back to the server, waking it through an eventfd.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "down_hold.h"
#include "fair_queue.h"
#include "qel_session.h"

namespace qelgate {

class LineWorker {
public:
    LineWorker(qelhost::QelSession& line, DownHold& hold);
    ~LineWorker();
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void Start();
    // Ends the thread after the exchange under way.
    void Stop();
    void Submit(std::unique_ptr<Job> job);
    // Forgets the requests of a client that went away; how many there were.
    std::size_t DropClient(std::uint64_t client);
    std::vector<std::unique_ptr<Job>> TakeFinished();
    // Readable while finished requests wait to be answered.
    int WakeFd() const { return wakeFd_; }

private:
    void Run();
    void Execute(Job& job);
    // The driver's result as a Modbus exception; a station that did not
    // answer is held down.
    int Failure(unsigned station, int result);

    qelhost::QelSession& line_;
    DownHold& hold_;
    int wakeFd_ = -1;
    std::mutex mutex_;
    std::condition_variable ready_;
    FairQueue queue_;
    std::vector<std::unique_ptr<Job>> finished_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qelgate
