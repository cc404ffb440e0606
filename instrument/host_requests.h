// Host calls made on a real-time thread that need work the audio thread must not do (a program
// change, a "Window" rebuild, a sample-rate or block-size rebuild) are queued here for the
// plug-in's worker. The queue is bounded and lock-free: any number of threads may push (a host
// may run several audio threads), and whoever holds the writers' lock pops. push() never waits,
// locks or allocates; when the queue is full it reports so and the caller records an overflow.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

enum class HostRequestKind : std::uint8_t { Program, Parameter, SampleRate, BlockSize };

struct HostRequest {
    HostRequestKind kind = HostRequestKind::Program;
    std::int32_t index = 0;  ///< program number, parameter index or block size in frames
    float value = 0;         ///< host parameter value 0..1, or sample rate in Hz
    std::uint32_t stamp = 0; ///< parameters: when the host made the change
};

/// Requests the queue holds at most; far more than a host sends between two worker passes.
constexpr std::size_t kHostRequestCapacity = 1024;

/// Bounded multi-producer queue in the manner of a sequence-numbered ring: each cell carries
/// the position it may next be written (sequence == position) or read (sequence ==
/// position + 1) at, so producers claim cells with one compare-and-swap and never wait for
/// each other.
class HostRequestQueue {
  public:
    HostRequestQueue();
    HostRequestQueue(const HostRequestQueue&) = delete;
    HostRequestQueue& operator=(const HostRequestQueue&) = delete;

    /// Any thread. False when the queue is full (the request is not queued).
    bool push(const HostRequest& request);
    /// The consumer (holder of the writers' lock). False when the queue is empty.
    bool pop(HostRequest& request);

  private:
    struct Cell {
        std::atomic<std::size_t> sequence{0};
        HostRequest request;
    };
    std::unique_ptr<Cell[]> cells;
    std::atomic<std::size_t> enqueuePosition{0};
    std::size_t dequeuePosition = 0; ///< consumer only
};
