#pragma once
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace pellan::test {

/// How an EchoResponder answers each echo request.
enum class Forgery {
    Correct,           ///< A true answer: the request's identifier, sequence and data.
    WrongSequence,     ///< The sequence number plus one.
    WrongIdentifier,   ///< The identifier plus one.
    WrongData,         ///< "HEALTH" instead of "health".
    FromOtherAddress,  ///< A true answer, but sent from another device address.
    None,              ///< No answer at all.
};

/// A stand-in device inside a device namespace whose kernel ignores echo requests
/// (icmp_echo_ignore_all): it reads each request from a raw socket and answers it as told,
/// after `delay` (a delay beyond the prober's time-out makes a late answer).
///
/// Kind: thread owner; the thread runs in the device namespace, the destructor stops and
/// joins it. Thread safety: requestsSeen() and answersSent() from any thread.
class EchoResponder {
public:
    /// `sourceAddress`: a device address to send from (for FromOtherAddress); `answerLimit`:
    /// how many requests get an answer (negative: all).
    EchoResponder(const std::string& deviceNamespace, Forgery forgery,
                  std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                  const std::string& sourceAddress = "", int answerLimit = -1);
    ~EchoResponder();
    EchoResponder(const EchoResponder&) = delete;
    EchoResponder& operator=(const EchoResponder&) = delete;

    /// False when the responder could not open its sockets in the namespace.
    bool ready() const { return ready_; }
    int requestsSeen() const { return requests_.load(); }
    int answersSent() const { return answers_.load(); }

private:
    void serve(int receiveFd, int sendFd);

    const Forgery forgery_;
    const std::chrono::milliseconds delay_;
    const int answerLimit_;
    std::atomic<int> requests_{0};
    std::atomic<int> answers_{0};
    bool ready_ = false;  // Written before the constructor returns, read after.
    int wakeFd_ = -1;     // eventfd: the destructor's stop request.
    std::thread thread_;
};

}  // namespace pellan::test
