#pragma once
// Answers held back until the journal has synced the event they wait for,
// oldest first. Reports are journalled in the order they come, so a new
// answer almost always waits for the highest number yet: it goes to the
// back of a queue (no node of its own per report, as a map would take).
// One that waits for a lower number still goes before the later ones, and
// answers waiting for the same number keep the order they came in.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

namespace center {

template <class Session, class Answer>
class WaitingAnswers {
public:
    void wait(std::uint64_t seq, std::weak_ptr<Session> session, Answer answer) {
        Waiting w{seq, std::move(session), std::move(answer)};
        if (queue_.empty() || queue_.back().seq <= seq) {
            queue_.push_back(std::move(w));
            return;
        }
        const auto at =
            std::upper_bound(queue_.begin(), queue_.end(), seq,
                             [](std::uint64_t s, const Waiting& x) { return s < x.seq; });
        queue_.insert(at, std::move(w));
    }

    // Passes every answer waiting for `seq` or less to `send(Session&,
    // const Answer&)`, oldest first, but those of sessions gone since. Each
    // is off the queue before it is sent, so `send` may add answers.
    template <class Send>
    void durable(std::uint64_t seq, Send&& send) {
        while (!queue_.empty() && queue_.front().seq <= seq) {
            Waiting w = std::move(queue_.front());
            queue_.pop_front();
            if (const auto session = w.session.lock()) {
                send(*session, w.answer);
            }
        }
    }

    std::size_t size() const { return queue_.size(); }

private:
    struct Waiting {
        std::uint64_t seq;
        std::weak_ptr<Session> session;
        Answer answer;
    };
    std::deque<Waiting> queue_;
};

}  // namespace center
