#pragma once

#include <deque>
#include <functional>
#include <memory>

// Requests made in the background, kept to a few at a time in the server's
// one queue: whatever the administrator asks meanwhile waits behind those
// few, not behind all of them. GUI thread only.
class RequestTrickle {
public:
    // Called once its request is answered; a request's answer calls it
    // exactly once.
    using Finished = std::function<void()>;
    // Issues one request and calls `finished` with its answer.
    using Start = std::function<void(Finished finished)>;

    explicit RequestTrickle(int inFlight);
    ~RequestTrickle();
    RequestTrickle(const RequestTrickle&) = delete;
    RequestTrickle& operator=(const RequestTrickle&) = delete;

    void add(Start start);
    // The requests not yet issued are dropped (those in flight finish).
    void clear();
    int waiting() const;
    int inFlight() const;

private:
    struct State {
        int limit = 1;
        int running = 0;
        std::deque<Start> waiting;
    };
    static void pump(const std::shared_ptr<State>& state);
    // Shared with the answers still to come, which may outlive this object.
    std::shared_ptr<State> m_state;
};
