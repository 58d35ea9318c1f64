// A stand-in control daemon for the tests: it owns the IPC objects of the
// current (private) IPC namespace, records every request and answers each one
// as the test scripted it.
#pragma once

#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "init_ipc.h"

// How long a test waits for something another process or thread does: long
// enough that no load makes it run out, shorter than the watchdog's 120 s so
// that the failure names what was awaited.
constexpr int kPatienceMs = 100 * 1000;

struct Request {
    long mtype = 0;
    int command = 0;
    std::array<unsigned char, MSG_TEXT_SIZE> mtext{};
    ssize_t size = 0;  // System V size as received
};

struct Reply {
    enum Kind { Normal, None, Twice };
    Kind kind = Normal;
    std::vector<unsigned char> mtext;  // reply payload from mtext[0]
    size_t size = MSG_SIZE;            // System V size sent (short or oversized)

    static Reply bytes(std::initializer_list<unsigned char> b);
    static Reply int32(int v);
    static Reply oversized();
    static Reply none();
};

class FakeDaemon {
public:
    // Creates the objects afresh and gives the API lock its value 1; a daemon
    // made stopped reads nothing until resume().
    explicit FakeDaemon(bool serving = true);
    ~FakeDaemon(); // removes them; the serving thread ends
    void resume();

    // Scripted answers, used in order; without one the request is echoed back.
    void script(Reply r);
    Request last();
    size_t request_count();
    bool wait_for_requests(size_t count, int timeout_ms = kPatienceMs);

    int lock_value() const;
    int lock_id() const { return sem_; }
    int response_queue() const { return response_; }
    int control_queue() const { return control_; }
    size_t replies_waiting() const;
    size_t requests_waiting() const;  // unread on the control queue
    bool wait_for_replies_waiting(size_t count, int timeout_ms = kPatienceMs);
    void send(const Reply& r);  // an answer on the response queue

private:
    void serve();

    int sem_ = -1, control_ = -1, response_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Reply> script_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// Lowers the namespace's largest message size so that every request's send
// fails with EINVAL; restores it when it goes out of scope.
class SendFailure {
public:
    SendFailure();
    ~SendFailure();
private:
    std::string saved_;
};

// A SIGALRM after `ms` milliseconds, with a handler that does nothing, so a
// blocking call in this thread returns EINTR.
void interrupt_after_ms(int ms);
