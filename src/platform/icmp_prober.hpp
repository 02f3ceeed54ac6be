#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

namespace pellan {

/// The data of every echo request: "health" followed by a zero byte.
inline constexpr std::array<std::uint8_t, 7> kEchoPayload{'h', 'e', 'a', 'l', 't', 'h', 0};
/// How long a probe waits for its answer after its request went out.
inline constexpr std::chrono::milliseconds kEchoTimeout{1000};
/// Echo requests outstanding at once in one probe() call; very large tables go in waves.
inline constexpr std::size_t kMaxEchoesInFlight = 256;

enum class IcmpSocketKind {
    None,      ///< No socket was used (the address did not parse) or none could be opened.
    Datagram,  ///< ICMP datagram socket: allowed by net.ipv4.ping_group_range, no privilege.
    Raw,       ///< Raw ICMP socket: needs root or CAP_NET_RAW.
};

enum class IcmpSocketMode {
    Automatic,     ///< A datagram socket where allowed, else a raw socket.
    DatagramOnly,  ///< For diagnosis and tests of one path.
    RawOnly,
};

enum class EchoFailure {
    None,            ///< Answered.
    InvalidAddress,  ///< Not a dotted IPv4 address.
    NoSocket,        ///< No ICMP socket could be opened (`systemError` says why).
    SendFailed,      ///< The request could not be sent, e.g. no route (`systemError`).
    TimedOut,        ///< No matching answer within the time-out.
    Cancelled,       ///< Stop was requested before an answer came.
};

/// What became of one echo request. Any failure counts as unreachable.
struct EchoOutcome {
    bool reachable = false;
    std::chrono::microseconds roundTrip{0};  ///< Request to answer; only when reachable.
    EchoFailure failure = EchoFailure::None;
    int systemError = 0;  ///< errno for NoSocket and SendFailed.
    IcmpSocketKind socket = IcmpSocketKind::None;
};

/// Short English text for a failure, for diagnostics ("timed out", ...).
const char* echoFailureText(EchoFailure failure);

/// Whether the outcome says this process may not send ICMP echo at all: neither kind of ICMP
/// socket was allowed (as opposed to a passing shortage such as too many open files).
bool echoNotPermitted(const EchoOutcome& outcome);

/// For the user, when echoNotPermitted(): what is missing and how to allow it.
const char* echoNotPermittedAdvice();

/// Sends ICMP echo requests and waits for their answers.
///
/// Kind: an interface; implementations hold no state between calls that callers depend on.
/// Thread safety: probe() may be called from several threads at once.
class IcmpProber {
public:
    virtual ~IcmpProber() = default;

    /// Sends one echo request to each address, all of them before waiting (at most
    /// kMaxEchoesInFlight outstanding), and returns when each has answered, failed or waited
    /// `timeout` after its own request, or when `stop` is requested (the unfinished ones are
    /// then Cancelled). Result i belongs to addresses[i]; the same address twice is probed
    /// twice. Never throws for any address text or network condition.
    virtual std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                           std::chrono::milliseconds timeout,
                                           std::stop_token stop) = 0;
};

/// The operating system's ICMP echo: one socket per probe() call, an ICMP datagram socket
/// where net.ipv4.ping_group_range allows it, else a raw socket. An answer counts only when
/// it is an echo reply from the probed address carrying the request's identifier, sequence
/// number and data, within the time-out; anything else on the socket (late answers to earlier
/// calls, other programs' pings, ICMP errors) is ignored.
///
/// Kind: a stateless value apart from process-wide identifier and sequence counters.
/// Thread safety: probe() may be called from several threads at once; each call opens its
///   own socket in the calling thread's network namespace.
class SystemIcmpProber final : public IcmpProber {
public:
    explicit SystemIcmpProber(IcmpSocketMode mode = IcmpSocketMode::Automatic,
                              std::size_t maxInFlight = kMaxEchoesInFlight);

    std::vector<EchoOutcome> probe(const std::vector<std::string>& addresses,
                                   std::chrono::milliseconds timeout,
                                   std::stop_token stop) override;

private:
    const IcmpSocketMode mode_;
    const std::size_t maxInFlight_;
};

/// The echo packet format, without I/O, so it can be checked byte by byte.
namespace icmp {

inline constexpr std::uint8_t kTypeEchoReply = 0;
inline constexpr std::uint8_t kTypeEchoRequest = 8;
inline constexpr std::size_t kHeaderSize = 8;

/// The Internet checksum (one's complement of the one's-complement sum of 16-bit words).
std::uint16_t checksum(std::span<const std::uint8_t> bytes);

/// Type 8, code 0, checksum, identifier and sequence in network order, then kEchoPayload.
std::vector<std::uint8_t> buildEchoRequest(std::uint16_t identifier, std::uint16_t sequence);

struct EchoReply {
    std::uint16_t identifier = 0;
    std::uint16_t sequence = 0;
    bool operator==(const EchoReply&) const = default;
};

enum class Framing {
    IcmpOnly,      ///< Datagram sockets: the ICMP message alone, checksum checked by the kernel.
    WithIpHeader,  ///< Raw sockets: an IPv4 header first; the ICMP checksum is checked here.
};

/// The identifier and sequence of an echo reply (type 0, code 0) that carries exactly
/// kEchoPayload; nothing for any other or malformed packet.
std::optional<EchoReply> parseEchoReply(std::span<const std::uint8_t> packet, Framing framing);

/// A strict dotted-decimal IPv4 address, in network byte order; nothing otherwise.
std::optional<std::uint32_t> parseAddress(const std::string& text);

}  // namespace icmp

}  // namespace pellan
