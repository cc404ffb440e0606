// Where the audio thread and the writers meet. Nothing here waits: every hand-over is one
// atomic operation, and each side owns the memory it allocates and frees.
//
// Control to audio: a writer publishes a complete EngineSetup with one atomic exchange of
// `pending`. The audio thread takes the newest one at the start of each sub-block (one atomic
// load while there is none), installs it by exchanging pointers, and puts the record, which now
// holds the arrays it gave up, into a free `retired` slot. Writers free retired records
// (reclaim) and free a published record themselves when they replace it before the audio thread
// took it. A record is therefore freed only by a writer, and only once the audio thread has
// stopped reading it.
//
// Audio to control: controllers 20 and 21 change the live patch on the audio thread. Each such
// change takes a stamp from `clock` and is posted per slot and field; writers apply posts to
// the bank when they next hold the bank, keeping whichever of a post and their own change of the
// same field is newer. A setup carries the stamps of its patch's modulation and attack, so a
// setup built before a controller change does not undo it on the audio thread.
//
// Parameter values: the six parameter values of every slot, each with the stamp of the change
// that made it, so any thread (the audio thread included) reads them without a lock.
//
// Parameter requests: a parameter change made on the processing thread (or any thread that must
// not wait) is a request: its plain value and stamp per slot and parameter. The audio thread
// applies the requests for the program it plays to its own engine at the start of its next
// sub-block (applyPlainParameter: no allocation, no lock); writers take every request into the
// bank when they next hold it. Either side keeps whichever of a request and its own value is
// newer, and the audio thread keeps a value it applied itself when a record built before it is
// installed.
#pragma once

#include "engine/engine_setup.h"
#include "patches/performance_parameters.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

/// Records the audio thread may have given back and not yet been freed.
constexpr int kRetiredSetupSlots = 4;

/// True when stamp a was taken after stamp b (stamps wrap around).
inline bool stampIsNewer(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

class AudioHandover {
  public:
    AudioHandover();
    /// Frees what is still pending or retired: no audio thread may be running.
    ~AudioHandover();
    AudioHandover(const AudioHandover&) = delete;
    AudioHandover& operator=(const AudioHandover&) = delete;

    /// A new stamp, later than every one taken before. Any thread.
    std::uint32_t nextStamp() { return clock.fetch_add(1, std::memory_order_relaxed) + 1; }

    // ---- writers (serialised among themselves by their owner) ------------------------------

    /// Makes setup the newest state. A record published earlier and not yet taken is freed;
    /// fresh delay lines it carried are kept in the new one (cleared lines of its lengths).
    void publish(std::unique_ptr<EngineSetup> setup);
    /// Frees the records the audio thread has given back.
    void reclaim();
    /// True while a published record waits for the audio thread.
    bool hasPending() const { return pending.load(std::memory_order_acquire) != nullptr; }
    /// Calls apply(program, field, value, stamp) for every controller change posted since the
    /// last call, and clears the posts.
    template <class Apply> void takeControllerPosts(Apply&& apply);
    /// True while controller changes wait to be taken (one atomic load). Any thread.
    bool controllersPending() const { return controllersPosted.load(std::memory_order_acquire); }

    // ---- audio thread ----------------------------------------------------------------------

    /// Installs the newest published setup into engine, if there is one. Allocates, frees and
    /// waits for nothing.
    void adoptNewest(SynthEngine& engine);
    /// Stamps and posts the controller changes engine.controllerEdits records, and clears them.
    void postControllerEdits(SynthEngine& engine);

    // ---- parameter requests ------------------------------------------------------------------

    /// Any thread; never waits, locks or allocates. Asks for plain value plain (see
    /// plainParameterValue) of parameter index of slot program, stamped stamp. Also stores the
    /// value readers see (storeParameter) as display, the value parameter() reports.
    void requestParameter(int program, int index, float plain, float display, std::uint32_t stamp);
    /// Writers: calls apply(program, index, plain, stamp) for every request made since the
    /// last call.
    template <class Apply> void takeParameterRequests(Apply&& apply);

    // ---- parameter values, any thread --------------------------------------------------------

    /// Stores value (the parameter's stored value: the byte, or the filter frequency in Hz) for
    /// slot program unless a newer value is already there.
    void storeParameter(int program, int index, float value, std::uint32_t stamp);
    /// The stored value of parameter index of slot program.
    float parameter(int program, int index) const;

  private:
    std::atomic<EngineSetup*> pending{nullptr};
    std::atomic<EngineSetup*> retired[kRetiredSetupSlots];
    std::atomic<std::uint32_t> clock{0};
    /// Controller posts: stamp in the high 32 bits, bit 8 set, the byte in the low 8 bits.
    std::atomic<std::uint64_t> controllerPosts[kPatchCount][kLivePatchFields];
    std::atomic<bool> controllersPosted{false};
    /// Parameter values: stamp in the high 32 bits, the float's bits in the low 32.
    std::atomic<std::uint64_t> parameterValues[kPatchCount][kParameterCount];
    /// Parameter requests, as the audio thread reads them (kept) and as writers take them
    /// (cleared when taken): stamp in the high 32 bits, the plain value's bits in the low 32;
    /// stamps start at 1, so 0 is no request.
    std::atomic<std::uint64_t> liveRequests[kPatchCount][kParameterCount];
    std::atomic<std::uint64_t> requestPosts[kPatchCount][kParameterCount];
    std::atomic<bool> liveRequested{false};
    std::atomic<bool> requestsPosted{false};

    /// Audio thread: applies the requests for its live program that are newer than its values.
    void applyRequests(SynthEngine& engine);

    // Audio thread only: the program its live patch belongs to, and for each parameter the
    // stamp and plain value of the change it last applied or installed.
    std::int32_t liveProgram = -1;
    std::uint32_t liveStamps[kParameterCount] = {};
    float livePlain[kParameterCount] = {};
};

template <class Apply> void AudioHandover::takeParameterRequests(Apply&& apply) {
    if (!requestsPosted.exchange(false, std::memory_order_acq_rel)) return;
    for (int program = 0; program < kPatchCount; ++program) {
        for (int index = 0; index < kParameterCount; ++index) {
            const std::uint64_t post =
                requestPosts[program][index].exchange(0, std::memory_order_acquire);
            if (post == 0) continue;
            const auto bits = static_cast<std::uint32_t>(post);
            float plain;
            static_assert(sizeof plain == sizeof bits);
            std::memcpy(&plain, &bits, sizeof plain);
            apply(program, index, plain, static_cast<std::uint32_t>(post >> 32));
        }
    }
}

template <class Apply> void AudioHandover::takeControllerPosts(Apply&& apply) {
    if (!controllersPosted.exchange(false, std::memory_order_acq_rel)) return;
    for (int program = 0; program < kPatchCount; ++program) {
        for (int field = 0; field < kLivePatchFields; ++field) {
            const std::uint64_t post =
                controllerPosts[program][field].exchange(0, std::memory_order_acquire);
            if (post == 0) continue;
            apply(program, field, static_cast<std::int8_t>(post & 0xFF),
                  static_cast<std::uint32_t>(post >> 32));
        }
    }
}
