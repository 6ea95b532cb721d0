#pragma once

// The network between phone and receiver, simulated on the phone's side (this kernel has no
// netem): for each message the phone makes, when it goes out, if at all, and how many times.
// Pure: time comes in as an argument and randomness from the caller's seeded generator.
//
// Delay of one copy, in ms, for base delay D and jitter J:
//   normal: max(0, D + N(0, J))
//   pareto: D + J × ((1 − u)^(−1/α) − 1), u uniform in [0, 1): a Lomax (Pareto II) extra delay
//           of scale J and shape α, with mean J / (α − 1) for α > 1 and a heavy tail.
// Either is capped at kMaxDelayMs: a real network does not hold a packet for longer.
//
// Loss is Gilbert-style: in the good state a message is lost with probability `lossPercent`,
// and a burst starts with probability `burstPercent`; in a burst every message is lost, and
// the burst ends before each next message with probability 1 / burstLength, so bursts last
// burstLength messages on average.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>

namespace vocari::phone {

enum class JitterModel { Normal, Pareto };

struct ImpairmentConfig {
    double delayMs = 0;
    double jitterMs = 0;
    JitterModel jitter = JitterModel::Normal;
    double paretoShape = 2.5;
    double lossPercent = 0;
    double burstPercent = 0;
    double burstLength = 1;  // mean messages per burst, at least 1
    double reorderPercent = 0;
    double duplicatePercent = 0;
    // A stream (TCP) delivers in order: no message goes out before one made earlier.
    bool keepOrder = false;
};

inline constexpr double kMaxDelayMs = 10'000;

// One copy of one message going out.
struct Dispatch {
    uint64_t index = 0;  // the message's index in the stream
    int64_t dueNs = 0;
};

struct Decision {
    // The copies that go out, in the order they go when due times are equal. Besides this
    // message's own copies, it may release the message held back by the previous decision.
    std::array<Dispatch, 4> sends{};
    size_t count = 0;
    bool lost = false;
    bool duplicated = false;
    bool held = false;  // this message is kept back until the next message is decided
};

class Impairment {
  public:
    explicit Impairment(const ImpairmentConfig& config);

    // Decides the fate of message `index`, made at `madeNs`. Indexes increase by one per call.
    // A message held back (`held`) goes out after the next message: on a datagram network
    // later than that one, on a stream (keepOrder) together with it, first, as a stall.
    Decision decide(uint64_t index, int64_t madeNs, std::mt19937_64& random);
    // The copies of a message still held when no message follows it: they go at their own
    // due times. Empty when nothing is held.
    Decision releaseHeld();

    // One copy's delay in ns, drawn from the configured model.
    int64_t drawDelayNs(std::mt19937_64& random);

  private:
    bool chance(double percent, std::mt19937_64& random);
    void add(Decision& decision, Dispatch dispatch);

    ImpairmentConfig config_;
    bool inBurst_ = false;
    std::optional<Decision> held_;
    int64_t lastDueNs_ = INT64_MIN;
};

}  // namespace vocari::phone
