#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// A bounded queue of status lines in front of a descriptor (standard output), written by a thread of its
// own so that whoever reports a status never waits for the reader of that descriptor.
//
// Push never blocks: when the queue holds `capacity` lines, the line is dropped and counted. At the place
// of the gap the writer later writes "(N status lines dropped: standard output did not drain)", once the
// descriptor has taken the lines queued before the gap.
//
// The writer never blocks on the descriptor, so the destructor can always stop it:
// - a socket (a journal stream) is written with send(MSG_DONTWAIT);
// - a pipe, FIFO or terminal is written through a descriptor of its own, opened on /proc/self/fd/N with
//   O_NONBLOCK, so the shared open file description of standard output keeps its blocking mode;
// - a regular file (or anything that cannot be reopened) is written as it is: it does not stall.
// Between attempts the writer polls with the descriptor and a wake-up event, so a stop ends the wait.
// A descriptor that fails for good (the reader went away: EPIPE) takes no further lines; they are
// discarded without a notice, since nobody could read one.
class StatusLineQueue {
public:
    explicit StatusLineQueue(int fd, size_t capacity = 4096);
    ~StatusLineQueue();
    StatusLineQueue(const StatusLineQueue&) = delete;
    StatusLineQueue& operator=(const StatusLineQueue&) = delete;

    // Queues one line; the writer adds the line feed. Callable from any thread.
    void Push(std::string line);

    // Waits at most `limit` until every queued line has been written (meant for the end of the program).
    // True when nothing is left.
    bool Flush(std::chrono::milliseconds limit);

    // Lines dropped so far because the queue was full.
    uint64_t DroppedLines() const;

private:
    void WriterLoop();
    bool WriteAll(const std::string& bytes);  // false: stopping, or the descriptor failed for good
    bool WaitWritable();                      // false: stopping
    void OpenOutput(int fd);

    size_t capacity_;
    int fd_ = -1;     // the descriptor written to (own non-blocking one, or the caller's)
    int ownFd_ = -1;  // the reopened descriptor, closed by the destructor
    bool isSocket_ = false;
    int wakeFd_ = -1;  // eventfd: the destructor ends a poll at once

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;  // each line with its line feed
    uint64_t droppedSinceLast_ = 0;  // dropped after the last queued line, not yet noticed
    uint64_t droppedTotal_ = 0;
    bool writing_ = false;  // the writer holds a line it has not finished
    bool stopping_ = false;
    bool broken_ = false;
    std::thread writer_;
};
