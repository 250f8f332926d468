#include "store/RequestTrickle.h"

#include <algorithm>
#include <utility>

RequestTrickle::RequestTrickle(int inFlight)
    : m_state(std::make_shared<State>()) {
    m_state->limit = std::max(1, inFlight);
}

RequestTrickle::~RequestTrickle() {
    m_state->waiting.clear();
}

void RequestTrickle::add(Start start) {
    m_state->waiting.push_back(std::move(start));
    pump(m_state);
}

void RequestTrickle::clear() {
    m_state->waiting.clear();
}

int RequestTrickle::waiting() const {
    return int(m_state->waiting.size());
}

int RequestTrickle::inFlight() const {
    return m_state->running;
}

void RequestTrickle::pump(const std::shared_ptr<State>& state) {
    while (state->running < state->limit && !state->waiting.empty()) {
        Start start = std::move(state->waiting.front());
        state->waiting.pop_front();
        ++state->running;
        // An answer that comes at once (a failure before sending) finishes
        // inside start(); the loop then goes on with the next.
        start([state, once = std::make_shared<bool>(false)] {
            if (std::exchange(*once, true))
                return;
            --state->running;
            pump(state);
        });
    }
}
