// The calls a host makes on its audio thread never wait, lock, allocate or yield. This binary
// defines the C library's allocation, locking and sleeping functions itself and exports them, so
// the plug-in loaded through its entry point binds to them; each one counts the calls made on the
// thread under test and forwards to the C library (the binary's counting operator new allocates
// with malloc, so it is seen as well). A thread at real-time priority then plays the plug-in as a
// DAW's audio callback does, and every count must stay at zero: the VST 2.4 build through its
// entry point directly, and every format through the format hosts, whose process() allocates
// and locks nothing once started, so that whatever is counted there is the plug-in's.
#if defined(__linux__)

#include "host/host_fixture.h"
#include "support/midi_list.h"
#include "tools/format_hosts/format_instance.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
}

namespace {

enum CountedCall : int {
    CallMalloc,
    CallCalloc,
    CallRealloc,
    CallAlignedAlloc,
    CallPosixMemalign,
    CallFree,
    CallMutexLock,
    CallMutexTrylock,
    CallRwlockRead,
    CallRwlockWrite,
    CallSchedYield,
    CallNanosleep,
    CallClockNanosleep,
    CallUsleep,
    kCountedCalls
};

constexpr const char* kCallNames[kCountedCalls] = {"malloc",
                                                   "calloc",
                                                   "realloc",
                                                   "aligned_alloc",
                                                   "posix_memalign",
                                                   "free",
                                                   "pthread_mutex_lock",
                                                   "pthread_mutex_trylock",
                                                   "pthread_rwlock_rdlock",
                                                   "pthread_rwlock_wrlock",
                                                   "sched_yield",
                                                   "nanosleep",
                                                   "clock_nanosleep",
                                                   "usleep"};

std::atomic<long> callCounts[kCountedCalls];
/// The thread whose calls are counted; 0 while nothing is counted.
std::atomic<pthread_t> countedThread{0};

/// Counts call when made on the counted thread; returns its number there (1 = the first), or 0.
long count(CountedCall call) {
    const pthread_t counted = countedThread.load(std::memory_order_relaxed);
    if (counted != 0 && pthread_equal(counted, pthread_self()))
        return callCounts[call].fetch_add(1, std::memory_order_relaxed) + 1;
    return 0;
}

/// The counted thread's malloc call that finds no memory (1 = the first); 0: every one does.
std::atomic<long> failingMalloc{0};

/// The C library's own functions behind the counting ones, looked up once at start-up (and on
/// first use, should a library constructor call one before that).
struct RealFunctions {
    void* (*alignedAlloc)(std::size_t, std::size_t);
    int (*posixMemalign)(void**, std::size_t, std::size_t);
    int (*mutexLock)(pthread_mutex_t*);
    int (*mutexTrylock)(pthread_mutex_t*);
    int (*rwlockRead)(pthread_rwlock_t*);
    int (*rwlockWrite)(pthread_rwlock_t*);
    int (*schedYield)();
    int (*nanosleep)(const timespec*, timespec*);
    int (*clockNanosleep)(clockid_t, int, const timespec*, timespec*);
    int (*usleep)(useconds_t);
};
RealFunctions real;

template <class Function> Function resolve(Function& f, const char* name) {
    if (!f) f = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    return f;
}

[[gnu::constructor]] void resolveRealFunctions() {
    resolve(real.alignedAlloc, "aligned_alloc");
    resolve(real.posixMemalign, "posix_memalign");
    resolve(real.mutexLock, "pthread_mutex_lock");
    resolve(real.mutexTrylock, "pthread_mutex_trylock");
    resolve(real.rwlockRead, "pthread_rwlock_rdlock");
    resolve(real.rwlockWrite, "pthread_rwlock_wrlock");
    resolve(real.schedYield, "sched_yield");
    resolve(real.nanosleep, "nanosleep");
    resolve(real.clockNanosleep, "clock_nanosleep");
    resolve(real.usleep, "usleep");
}

} // namespace

#define QUARNEL_EXPORTED [[gnu::visibility("default"), gnu::used]]

extern "C" {

QUARNEL_EXPORTED void* malloc(std::size_t size) noexcept {
    const long n = count(CallMalloc);
    if (n != 0 && n == failingMalloc.load(std::memory_order_relaxed)) return nullptr;
    return __libc_malloc(size);
}

QUARNEL_EXPORTED void* calloc(std::size_t n, std::size_t size) noexcept {
    count(CallCalloc);
    return __libc_calloc(n, size);
}

QUARNEL_EXPORTED void* realloc(void* p, std::size_t size) noexcept {
    count(CallRealloc);
    return __libc_realloc(p, size);
}

QUARNEL_EXPORTED void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    count(CallAlignedAlloc);
    return resolve(real.alignedAlloc, "aligned_alloc")(alignment, size);
}

QUARNEL_EXPORTED int posix_memalign(void** p, std::size_t alignment, std::size_t size) noexcept {
    count(CallPosixMemalign);
    return resolve(real.posixMemalign, "posix_memalign")(p, alignment, size);
}

QUARNEL_EXPORTED void free(void* p) noexcept {
    if (p) count(CallFree); // free(nullptr) does nothing
    __libc_free(p);
}

QUARNEL_EXPORTED int pthread_mutex_lock(pthread_mutex_t* m) noexcept {
    count(CallMutexLock);
    return resolve(real.mutexLock, "pthread_mutex_lock")(m);
}

QUARNEL_EXPORTED int pthread_mutex_trylock(pthread_mutex_t* m) noexcept {
    count(CallMutexTrylock);
    return resolve(real.mutexTrylock, "pthread_mutex_trylock")(m);
}

QUARNEL_EXPORTED int pthread_rwlock_rdlock(pthread_rwlock_t* l) noexcept {
    count(CallRwlockRead);
    return resolve(real.rwlockRead, "pthread_rwlock_rdlock")(l);
}

QUARNEL_EXPORTED int pthread_rwlock_wrlock(pthread_rwlock_t* l) noexcept {
    count(CallRwlockWrite);
    return resolve(real.rwlockWrite, "pthread_rwlock_wrlock")(l);
}

QUARNEL_EXPORTED int sched_yield() noexcept {
    count(CallSchedYield);
    return resolve(real.schedYield, "sched_yield")();
}

QUARNEL_EXPORTED int nanosleep(const timespec* request, timespec* remaining) {
    count(CallNanosleep);
    return resolve(real.nanosleep, "nanosleep")(request, remaining);
}

QUARNEL_EXPORTED int clock_nanosleep(clockid_t clock, int flags, const timespec* request,
                                     timespec* remaining) {
    count(CallClockNanosleep);
    return resolve(real.clockNanosleep, "clock_nanosleep")(clock, flags, request, remaining);
}

QUARNEL_EXPORTED int usleep(useconds_t microseconds) {
    count(CallUsleep);
    return resolve(real.usleep, "usleep")(microseconds);
}

} // extern "C"

namespace {

using Counts = std::array<long, kCountedCalls>;

/// Addresses of the counting functions, in CountedCall order.
const void* const kCountingFunctions[kCountedCalls] = {
    reinterpret_cast<const void*>(&malloc),
    reinterpret_cast<const void*>(&calloc),
    reinterpret_cast<const void*>(&realloc),
    reinterpret_cast<const void*>(&aligned_alloc),
    reinterpret_cast<const void*>(&posix_memalign),
    reinterpret_cast<const void*>(&free),
    reinterpret_cast<const void*>(&pthread_mutex_lock),
    reinterpret_cast<const void*>(&pthread_mutex_trylock),
    reinterpret_cast<const void*>(&pthread_rwlock_rdlock),
    reinterpret_cast<const void*>(&pthread_rwlock_wrlock),
    reinterpret_cast<const void*>(&sched_yield),
    reinterpret_cast<const void*>(&nanosleep),
    reinterpret_cast<const void*>(&clock_nanosleep),
    reinterpret_cast<const void*>(&usleep)};

/// Counts the calling thread's calls from now on.
void startCounting() {
    for (std::atomic<long>& c : callCounts)
        c.store(0);
    countedThread.store(pthread_self());
}

/// Stops counting and returns what was counted.
Counts stopCounting() {
    countedThread.store(0);
    Counts counts{};
    for (int c = 0; c < kCountedCalls; ++c)
        counts[c] = callCounts[c].load();
    return counts;
}

constexpr float kRate = 48000.0f;
constexpr int kFrames = 256;
constexpr int kPrograms = 46;
constexpr int kParameters = 6;
constexpr int kChord[] = {48, 60, 64, 67};
/// Priority of the audio thread; audio callbacks run at SCHED_FIFO in this range.
constexpr int kAudioPriority = 70;

/// Runs body on a new thread at SCHED_FIFO; returns 0, or pthread_setschedparam's error when the
/// thread could not get that priority (body is not run then).
template <class Body> int runAtRealtimePriority(Body&& body) {
    int error = 0;
    std::thread thread([&] {
        sched_param param{};
        param.sched_priority = std::min(kAudioPriority, sched_get_priority_max(SCHED_FIFO));
        error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (error == 0) body();
    });
    thread.join();
    return error;
}

std::string realtimeRefused(int error) {
    return std::string("SCHED_FIFO is not permitted here (pthread_setschedparam: ") +
           std::strerror(error) + "); needs root, CAP_SYS_NICE or an rtprio limit";
}

/// Input and output buffers of one block.
struct Buffers {
    float in[2][kFrames] = {};
    float out[2][kFrames] = {};
    float* inputs[2] = {in[0], in[1]};
    float* outputs[2] = {out[0], out[1]};
};

/// Sends the chord on the first block and renders one block, as the audio callback does.
void playBlock(vsthost::PluginInstance& plugin, MidiList& midi, Buffers& io, int block) {
    midi.clear();
    if (block == 0)
        for (int note : kChord)
            midi.add(0, 0x90, note, 100);
    plugin.dispatch(effProcessEvents, 0, 0, midi.events());
    AEffect* fx = plugin.effect();
    fx->processReplacing(fx, io.inputs, io.outputs, kFrames);
}

/// Mean frequency of x in Hz: the RMS of its first difference over its own RMS, which rises
/// with the share of upper harmonics; 0 for silence.
double meanFrequency(const float* x, int n) {
    double energy = 0, slope = 0;
    for (int i = 1; i < n; ++i) {
        energy += double(x[i]) * x[i];
        const double d = double(x[i]) - x[i - 1];
        slope += d * d;
    }
    return energy > 0 ? std::sqrt(slope / energy) * kRate / (2.0 * std::numbers::pi) : 0.0;
}

} // namespace

// A host that creates an instance when memory runs out gets no effect, never an exception
// through the C entry point, and whatever it does get plays and closes. Each construction is
// made with one of its allocations failing, from the first to the last (at a stride that keeps
// the run short; the first and the last always among them).
TEST(RealtimeCalls, ConstructionWithoutMemoryGivesNoEffectAndNoException) {
    vsthost::PluginLibrary& library = hosttest::library();
    ASSERT_TRUE(library.loaded());
    startCounting();
    { vsthost::PluginInstance probe(library); }
    const long mallocs = stopCounting()[CallMalloc];
    ASSERT_GT(mallocs, 0);
    constexpr long kMostConstructions = 120;
    const long stride = std::max(1L, mallocs / kMostConstructions);
    int refused = 0;
    for (long failing = 1; failing <= mallocs + stride - 1; failing += stride) {
        const long point = std::min(failing, mallocs);
        bool threw = false;
        std::optional<vsthost::PluginInstance> plugin; // on the stack: the test allocates nothing
        failingMalloc.store(point);
        startCounting();
        try {
            plugin.emplace(library);
        } catch (...) {
            threw = true;
        }
        stopCounting();
        failingMalloc.store(0);
        EXPECT_FALSE(threw) << "allocation " << point << " of " << mallocs;
        if (!plugin || !plugin->valid()) {
            ++refused;
            continue;
        }
        plugin->start(44100.0f, kFrames);
        MidiList midi;
        Buffers io;
        playBlock(*plugin, midi, io, 0);
        plugin->close();
    }
    // The plug-in's own allocations are among those made to fail.
    EXPECT_GT(refused, 0);
}

TEST(RealtimeCalls, CountersSeeTheCallsOfTheTestAndThePlugIn) {
    // The plug-in binds to the counting functions only if the global lookup scope finds them.
    for (int c = 0; c < kCountedCalls; ++c)
        EXPECT_EQ(dlsym(RTLD_DEFAULT, kCallNames[c]), kCountingFunctions[c]) << kCallNames[c];

    ASSERT_TRUE(hosttest::library().loaded()) << hosttest::library().error();
    Counts counts{};
    long pluginAllocations = 0;
    std::thread counted([&] {
        pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
        pthread_rwlock_t rwlock = PTHREAD_RWLOCK_INITIALIZER;
        startCounting();
        // Called through volatile pointers so none of them can be folded away.
        void* volatile p = std::malloc(24);
        p = std::realloc(p, 48);
        std::free(p);
        p = std::calloc(4, 8);
        std::free(p);
        p = std::aligned_alloc(64, 64);
        std::free(p);
        void* q = nullptr;
        if (posix_memalign(&q, 64, 64) == 0) std::free(q);
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
        if (pthread_mutex_trylock(&mutex) == 0) pthread_mutex_unlock(&mutex);
        pthread_rwlock_rdlock(&rwlock);
        pthread_rwlock_unlock(&rwlock);
        pthread_rwlock_wrlock(&rwlock);
        pthread_rwlock_unlock(&rwlock);
        sched_yield();
        timespec zero{0, 0};
        nanosleep(&zero, nullptr);
        clock_nanosleep(CLOCK_MONOTONIC, 0, &zero, nullptr);
        usleep(0);
        // Inside the plug-in: an instance is made on this thread.
        const long before = callCounts[CallMalloc].load();
        vsthost::PluginInstance plugin(hosttest::library());
        pluginAllocations = callCounts[CallMalloc].load() - before;
        counts = stopCounting();
    });
    counted.join();
    for (int c = 0; c < kCountedCalls; ++c)
        EXPECT_GE(counts[c], 1) << kCallNames[c];
    EXPECT_GE(pluginAllocations, 1) << "allocations inside the plug-in are not seen";
}

/// How the audio thread under test runs: at real-time priority, or at normal priority (hosts
/// without real-time rights), with the host saying it renders in real time or saying nothing.
struct AudioThreadKind {
    const char* name;
    bool realtimePriority;
    int answeredLevel;
};
constexpr AudioThreadKind kAudioThreadKinds[] = {
    {"real-time priority", true, vsthost::kProcessLevelByPriority},
    {"normal priority, host says realtime", false, kVstProcessLevelRealtime},
    {"normal priority, host says nothing", false, kVstProcessLevelUnknown},
};

template <class Body> int runAudioThread(const AudioThreadKind& kind, Body&& body) {
    vsthost::answerProcessLevel(kind.answeredLevel);
    int error = 0;
    if (kind.realtimePriority) {
        error = runAtRealtimePriority(body);
    } else {
        std::thread thread(body);
        thread.join();
    }
    vsthost::answerProcessLevel(vsthost::kProcessLevelByPriority);
    return error;
}

class AudioThreadCalls : public ::testing::TestWithParam<AudioThreadKind> {};
INSTANTIATE_TEST_SUITE_P(RealtimeCalls, AudioThreadCalls, ::testing::ValuesIn(kAudioThreadKinds));

TEST_P(AudioThreadCalls, NeverWaitLockAllocateOrYield) {
    ASSERT_TRUE(hosttest::library().loaded()) << hosttest::library().error();
    auto plugin = hosttest::newInstance(true, kRate, kFrames);
    ASSERT_TRUE(plugin->valid());
    AEffect* fx = plugin->effect();
    ASSERT_EQ(fx->numParams, kParameters);
    auto io = std::make_unique<Buffers>();
    MidiList midi;
    char display[64] = {};
    constexpr int kBlocks = 400;
    constexpr int kProgramEvery = 3;

    Counts counts{};
    int wrongProgram = 0;
    float peak = 0;
    const int error = runAudioThread(GetParam(), [&] {
        startCounting();
        int program = 0;
        for (int block = 0; block < kBlocks; ++block) {
            midi.clear();
            if (block == 0)
                for (int note : kChord)
                    midi.add(0, 0x90, note, 100);
            // A passing note each block, the previous one released, and the two controllers
            // that edit the live patch.
            midi.add((block * 31) % kFrames, 0x90, 72 + block % 12, 90);
            midi.add((block * 17) % kFrames, 0x80, 72 + (block + 11) % 12, 0);
            midi.add((block * 7) % kFrames, 0xB0, 20, block % 128);
            midi.add((block * 13) % kFrames, 0xB0, 21, (block * 5) % 128);
            plugin->dispatch(effProcessEvents, 0, 0, midi.events());
            fx->processReplacing(fx, io->inputs, io->outputs, kFrames);
            for (float v : io->out[0])
                peak = std::max(peak, std::fabs(v));

            for (int i = 0; i < kParameters; ++i) {
                fx->setParameter(fx, i, static_cast<float>((block * (i + 3)) % 101) * 0.01f);
                fx->getParameter(fx, i);
                plugin->dispatch(effGetParamDisplay, i, 0, display);
            }
            if (block % kProgramEvery == 0) {
                program = (block / kProgramEvery) % kPrograms;
                plugin->dispatch(effSetProgram, 0, program);
            }
            if (plugin->dispatch(effGetProgram) != program) ++wrongProgram;
        }
        counts = stopCounting();
    });
    if (error != 0) GTEST_SKIP() << realtimeRefused(error);

    for (int c = 0; c < kCountedCalls; ++c)
        EXPECT_EQ(counts[c], 0) << kCallNames[c] << " called on the audio thread ("
                                << GetParam().name << ")";
    EXPECT_EQ(wrongProgram, 0) << "effGetProgram lagged behind effSetProgram";
    EXPECT_GT(peak, 1e-3f) << "nothing was rendered";
}

TEST_P(AudioThreadCalls, ApplyParameterChangesAtTheNextBlockExactly) {
    // The same changes, made between blocks on another (host GUI) thread, which takes the
    // writers' lock, and on the audio thread itself, which does not: the audio thread applies
    // its own at the start of the next block, so both render the same bits. "Window" re-tapers
    // the carrier, the filters are redesigned, the rest are bytes of the patch.
    ASSERT_TRUE(hosttest::library().loaded()) << hosttest::library().error();
    constexpr int kBlocks = 60;
    auto render = [&](bool onAudioThread, std::vector<float>& left) {
        auto plugin = hosttest::newInstance(true, kRate, kFrames);
        auto io = std::make_unique<Buffers>();
        MidiList midi;
        left.assign(kBlocks * kFrames, 0.0f);
        auto body = [&] {
            for (int block = 0; block < kBlocks; ++block) {
                if (block % 10 == 5) {
                    const int index = (block / 10) % kParameters;
                    const float value = static_cast<float>((block * 37) % 101) * 0.01f;
                    if (onAudioThread)
                        plugin->setParameter(index, value);
                    else
                        std::thread([&] { plugin->setParameter(index, value); }).join();
                }
                playBlock(*plugin, midi, *io, block);
                std::copy(io->out[0], io->out[0] + kFrames, left.begin() + block * kFrames);
            }
        };
        return onAudioThread ? runAudioThread(GetParam(), body) : (body(), 0);
    };
    std::vector<float> locked, audio;
    render(false, locked);
    const int error = render(true, audio);
    if (error != 0) GTEST_SKIP() << realtimeRefused(error);
    EXPECT_TRUE(locked == audio) << GetParam().name;
    std::vector<float> unchanged(locked.size());
    {
        auto plugin = hosttest::newInstance(true, kRate, kFrames);
        auto io = std::make_unique<Buffers>();
        MidiList midi;
        for (int block = 0; block < kBlocks; ++block) {
            playBlock(*plugin, midi, *io, block);
            std::copy(io->out[0], io->out[0] + kFrames, unchanged.begin() + block * kFrames);
        }
    }
    EXPECT_FALSE(locked == unchanged) << "the changes are not heard";
}

TEST(RealtimeCalls, ProgramChangeOnAudioThreadIsAudibleWithin10Ms) {
    ASSERT_TRUE(hosttest::library().loaded()) << hosttest::library().error();
    // Pad 1, a soft trapezoid, to Lead 3, bright additive harmonics (both programs of the
    // bank's fixed six): the held chord's mean frequency rises about threefold.
    constexpr int kFrom = 15;
    constexpr int kTo = 2;
    constexpr int kSwitchBlock = 40;
    constexpr int kWindowStart = kSwitchBlock * kFrames + 480; // 10 ms after the change
    constexpr int kWindowLength = 480;                         // to 20 ms after it
    constexpr int kBlocks = (kWindowStart + kWindowLength) / kFrames + 1;

    // Reference renders at normal priority: the change made before the switch block (which
    // takes effect for that block), and no change at all.
    auto render = [&](vsthost::PluginInstance& plugin, bool change, std::vector<float>& left) {
        auto io = std::make_unique<Buffers>();
        MidiList midi;
        left.assign(kBlocks * kFrames, 0.0f);
        plugin.dispatch(effSetProgram, 0, kFrom);
        for (int block = 0; block < kBlocks; ++block) {
            if (change && block == kSwitchBlock) plugin.dispatch(effSetProgram, 0, kTo);
            playBlock(plugin, midi, *io, block);
            std::copy(io->out[0], io->out[0] + kFrames, left.begin() + block * kFrames);
        }
    };
    std::vector<float> changed, unchanged;
    render(*hosttest::newInstance(true, kRate, kFrames), true, changed);
    render(*hosttest::newInstance(true, kRate, kFrames), false, unchanged);
    float expected[kParameters], before[kParameters];
    {
        auto reference = hosttest::newInstance(true, kRate, kFrames);
        reference->dispatch(effSetProgram, 0, kFrom);
        for (int i = 0; i < kParameters; ++i)
            before[i] = reference->getParameter(i);
        reference->dispatch(effSetProgram, 0, kTo);
        for (int i = 0; i < kParameters; ++i)
            expected[i] = reference->getParameter(i);
    }
    const double changedFrequency = meanFrequency(&changed[kWindowStart], kWindowLength);
    const double unchangedFrequency = meanFrequency(&unchanged[kWindowStart], kWindowLength);
    ASSERT_GT(changedFrequency, 2.0 * unchangedFrequency) << "the two programs sound too alike";
    ASSERT_FALSE(std::equal(before, before + kParameters, expected));

    // The same, with the change made on a real-time thread paced like an audio device.
    auto plugin = hosttest::newInstance(true, kRate, kFrames);
    plugin->dispatch(effSetProgram, 0, kFrom);
    auto io = std::make_unique<Buffers>();
    MidiList midi;
    std::vector<float> left(kBlocks * kFrames, 0.0f);
    VstIntPtr programAfter = -1;
    float reported[kParameters] = {};
    const int error = runAtRealtimePriority([&] {
        const long period = static_cast<long>(1e9 * kFrames / kRate);
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        for (int block = 0; block < kBlocks; ++block) {
            if (block == kSwitchBlock) {
                plugin->dispatch(effSetProgram, 0, kTo);
                programAfter = plugin->dispatch(effGetProgram);
                for (int i = 0; i < kParameters; ++i)
                    reported[i] = plugin->getParameter(i);
            }
            playBlock(*plugin, midi, *io, block);
            std::copy(io->out[0], io->out[0] + kFrames, left.begin() + block * kFrames);
            deadline.tv_nsec += period;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_nsec -= 1000000000L;
                ++deadline.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        }
    });
    if (error != 0) GTEST_SKIP() << realtimeRefused(error);

    EXPECT_EQ(programAfter, kTo);
    for (int i = 0; i < kParameters; ++i)
        EXPECT_FLOAT_EQ(reported[i], expected[i]) << "parameter " << i;
    const double frequency = meanFrequency(&left[kWindowStart], kWindowLength);
    // A change heard 10.7 ms late (the second block after it) stays within 3 % of the
    // reference; one heard 20 ms late falls below a third of it.
    EXPECT_GT(frequency, 0.9 * changedFrequency)
        << "10 ms after the change it does not sound like the new program yet (old "
        << unchangedFrequency << " Hz, new " << changedFrequency << " Hz)";
    EXPECT_LT(frequency, 1.1 * changedFrequency);
}

// ---- every format through the format hosts -----------------------------------------------------
// Built where the framework's formats are (QUARNEL_FORMATS on Linux).
#if defined(QUARNEL_LV2_PATH)

namespace {

using formathost::Format;

struct FormatUnderTest {
    Format format;
    const char* path;   ///< what openInstance takes
    const char* binary; ///< the shared object it loads
};
const FormatUnderTest kFormats[] = {
    {Format::Vst2, QUARNEL_PLUGIN_PATH, QUARNEL_PLUGIN_PATH},
    {Format::Vst3, QUARNEL_VST3_PATH, QUARNEL_VST3_PATH "/Contents/x86_64-linux/Quarnel.so"},
    {Format::Clap, QUARNEL_CLAP_PATH, QUARNEL_CLAP_PATH},
    {Format::Lv2, QUARNEL_LV2_PATH, QUARNEL_LV2_PATH "/Quarnel.so"},
};

std::string canonical(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

/// Names whose definitions in this binary a loaded plug-in must bind to: the counting functions
/// and the counting operator new (alloc_test.cpp) that allocates through them.
const char* const kOperatorNames[] = {"_Znwm",
                                      "_Znam",
                                      "_ZnwmRKSt9nothrow_t",
                                      "_ZnamRKSt9nothrow_t",
                                      "_ZnwmSt11align_val_t",
                                      "_ZdlPv",
                                      "_ZdlPvm",
                                      "_ZdaPv"};

/// What the loaded object at binary binds each imported symbol to, by name: its PLT and GOT
/// slots as the dynamic linker filled them. Empty when the object is not loaded.
std::map<std::string, const void*> boundImports(const char* binary) {
    struct Walk {
        std::string path;
        std::map<std::string, const void*> bound;
        bool found = false;
    } walk{canonical(binary), {}, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            Walk& w = *static_cast<Walk*>(data);
            if (w.found || info->dlpi_name == nullptr || info->dlpi_name[0] == '\0' ||
                canonical(info->dlpi_name) != w.path)
                return 0;
            w.found = true;
            const ElfW(Addr) base = info->dlpi_addr;
            // The dynamic linker relocates these entries in place on x86-64; an unrelocated one
            // is an offset from the base.
            const auto at = [base](ElfW(Addr) p) { return p < base ? p + base : p; };
            const ElfW(Dyn)* dynamic = nullptr;
            for (int i = 0; i < info->dlpi_phnum; ++i)
                if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
                    dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + info->dlpi_phdr[i].p_vaddr);
            if (dynamic == nullptr) return 1;
            const ElfW(Sym)* symbols = nullptr;
            const char* names = nullptr;
            const ElfW(Rela) * lists[2] = {nullptr, nullptr};
            std::size_t sizes[2] = {0, 0};
            for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
                switch (d->d_tag) {
                case DT_SYMTAB:
                    symbols = reinterpret_cast<const ElfW(Sym)*>(at(d->d_un.d_ptr));
                    break;
                case DT_STRTAB:
                    names = reinterpret_cast<const char*>(at(d->d_un.d_ptr));
                    break;
                case DT_JMPREL:
                    lists[0] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr));
                    break;
                case DT_PLTRELSZ:
                    sizes[0] = d->d_un.d_val;
                    break;
                case DT_RELA:
                    lists[1] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr));
                    break;
                case DT_RELASZ:
                    sizes[1] = d->d_un.d_val;
                    break;
                default:
                    break;
                }
            }
            if (symbols == nullptr || names == nullptr) return 1;
            for (int l = 0; l < 2; ++l) {
                for (std::size_t r = 0; lists[l] != nullptr && r < sizes[l] / sizeof(ElfW(Rela));
                     ++r) {
                    const ElfW(Rela)& rela = lists[l][r];
                    const auto type = ELF64_R_TYPE(rela.r_info);
                    if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
                    const ElfW(Sym)& symbol = symbols[ELF64_R_SYM(rela.r_info)];
                    if (symbol.st_shndx != SHN_UNDEF) continue; // its own definition
                    w.bound[names + symbol.st_name] =
                        *reinterpret_cast<const void* const*>(base + rela.r_offset);
                }
            }
            return 1;
        },
        &walk);
    return walk.bound;
}

std::unique_ptr<formathost::Instance> openFormat(const FormatUnderTest& under) {
    std::string error;
    auto instance = formathost::openInstance(under.format, under.path, error);
    EXPECT_TRUE(instance) << formathost::formatName(under.format) << ": " << error;
    return instance;
}

/// What a format render carries besides the notes.
struct Moves {
    bool controllers = true; ///< controllers 20 and 21, every block
    bool parameters = true;  ///< all six parameters at frame 0 of every block
};

/// The MIDI and the parameter changes of one block, into lists whose room is kept.
void blockEvents(int block, const Moves& moves, std::vector<formathost::MidiEvent>& midi,
                 std::vector<formathost::ParameterChange>& changes) {
    midi.clear();
    changes.clear();
    const auto message = [](int frame, int status, int data1, int data2) {
        return formathost::MidiEvent{frame, static_cast<std::uint8_t>(status),
                                     static_cast<std::uint8_t>(data1),
                                     static_cast<std::uint8_t>(data2)};
    };
    if (block == 0)
        for (int note : kChord)
            midi.push_back(message(0, 0x90, note, 100));
    // A passing note each block, the previous one released, and the two controllers that edit
    // the live patch; sorted by frame as process() takes them.
    const std::size_t first = midi.size();
    midi.push_back(message((block * 31) % kFrames, 0x90, 72 + block % 12, 90));
    midi.push_back(message((block * 17) % kFrames, 0x80, 72 + (block + 11) % 12, 0));
    if (moves.controllers) {
        midi.push_back(message((block * 7) % kFrames, 0xB0, 20, block % 128));
        midi.push_back(message((block * 13) % kFrames, 0xB0, 21, (block * 5) % 128));
    }
    // An insertion sort, stable and without the buffer std::stable_sort allocates.
    for (std::size_t i = first + 1; i < midi.size(); ++i)
        for (std::size_t j = i; j > first && midi[j - 1].frame > midi[j].frame; --j)
            std::swap(midi[j - 1], midi[j]);
    if (moves.parameters)
        for (int i = 0; i < kParameters; ++i)
            changes.push_back({0, i, static_cast<double>((block * (i + 3) + 7) % 101) * 0.01});
}

constexpr int kFormatBlocks = 300;

/// Plays kFormatBlocks blocks into left, on the calling thread; every list's room is kept before.
struct FormatRender {
    std::vector<formathost::MidiEvent> midi;
    std::vector<formathost::ParameterChange> changes;
    std::vector<float> left, right;

    FormatRender() {
        midi.reserve(64);
        changes.reserve(kParameters);
        left.assign(std::size_t(kFormatBlocks) * kFrames, 0.0f);
        right.assign(left.size(), 0.0f);
    }
    void play(formathost::Instance& instance, const Moves& moves) {
        for (int block = 0; block < kFormatBlocks; ++block) {
            blockEvents(block, moves, midi, changes);
            const std::size_t at = std::size_t(block) * kFrames;
            instance.process(midi, changes, kFrames, &left[at], &right[at]);
        }
    }
};

/// The same render at normal priority on this thread, nothing counted.
std::vector<float> referenceRender(const FormatUnderTest& under, const Moves& moves) {
    auto instance = openFormat(under);
    if (!instance) return {};
    formathost::StartOptions options;
    options.sampleRate = kRate;
    options.maxBlock = kFrames;
    EXPECT_TRUE(instance->start(options)) << instance->error();
    EXPECT_EQ(instance->parameterCount(), kParameters);
    auto render = std::make_unique<FormatRender>();
    render->play(*instance, moves);
    instance->stop();
    return render->left;
}

/// The format opened and started at kRate with blocks of kFrames, offline or not; null (with a
/// test failure) when it cannot be.
std::unique_ptr<formathost::Instance> startFormat(const FormatUnderTest& under, bool offline) {
    auto instance = openFormat(under);
    if (!instance) return nullptr;
    formathost::StartOptions options;
    options.sampleRate = kRate;
    options.maxBlock = kFrames;
    options.offline = offline;
    if (!instance->start(options)) {
        ADD_FAILURE() << formathost::formatName(under.format) << ": " << instance->error();
        return nullptr;
    }
    return instance;
}

using FormatThread = std::tuple<FormatUnderTest, AudioThreadKind>;

class FormatAudioThreadCalls : public ::testing::TestWithParam<FormatThread> {};

std::string formatThreadName(const ::testing::TestParamInfo<FormatThread>& info) {
    std::string name = std::string(formathost::formatName(std::get<0>(info.param).format)) + "_" +
                       std::get<1>(info.param).name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(RealtimeCalls, FormatAudioThreadCalls,
                         ::testing::Combine(::testing::ValuesIn(kFormats),
                                            ::testing::ValuesIn(kAudioThreadKinds)),
                         formatThreadName);

} // namespace

TEST_P(FormatAudioThreadCalls, ProcessNeverWaitsLocksAllocatesOrYields) {
    const auto& [under, kind] = GetParam();
    const char* format = formathost::formatName(under.format);
    auto instance = startFormat(under, false);
    ASSERT_TRUE(instance);
    ASSERT_EQ(instance->parameterCount(), kParameters);

    // The plug-in's calls reach the counting functions: each of them, and the operator new that
    // allocates through them, that the loaded object imports is bound to this binary's.
    const std::map<std::string, const void*> bound = boundImports(under.binary);
    ASSERT_FALSE(bound.empty()) << under.binary << " is not loaded";
    int checked = 0;
    for (int c = 0; c < kCountedCalls; ++c) {
        const auto it = bound.find(kCallNames[c]);
        if (it == bound.end()) continue;
        ++checked;
        EXPECT_EQ(it->second, kCountingFunctions[c])
            << format << " binds " << kCallNames[c] << " elsewhere";
    }
    Dl_info self{};
    ASSERT_NE(dladdr(kCountingFunctions[CallMalloc], &self), 0);
    for (const char* name : kOperatorNames) {
        const auto it = bound.find(name);
        if (it == bound.end()) continue;
        ++checked;
        Dl_info where{};
        EXPECT_TRUE(dladdr(it->second, &where) != 0 && where.dli_fbase == self.dli_fbase)
            << format << " binds " << name << " outside this binary";
    }
    EXPECT_GT(bound.count("malloc") + bound.count("_Znwm"), 0u)
        << format << " imports no allocator: the test looks at the wrong object";
    EXPECT_GE(checked, 3);

    auto render = std::make_unique<FormatRender>();
    Counts counts{}, deliberate{};
    const int error = runAudioThread(kind, [&] {
        startCounting();
        render->play(*instance, Moves{});
        counts = stopCounting();
        // The same counting on this very thread sees a deliberate allocation and lock.
        pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
        startCounting();
        void* volatile p = std::malloc(32);
        std::free(p);
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
        deliberate = stopCounting();
    });
    if (error != 0) GTEST_SKIP() << realtimeRefused(error);
    instance->stop();
    EXPECT_EQ(instance->error(), "") << format;

    for (int c = 0; c < kCountedCalls; ++c)
        EXPECT_EQ(counts[c], 0) << kCallNames[c] << " called in " << format << " process() ("
                                << kind.name << ")";
    EXPECT_EQ(deliberate[CallMalloc], 1);
    EXPECT_EQ(deliberate[CallFree], 1);
    EXPECT_EQ(deliberate[CallMutexLock], 1);

    // Heard: the controllers and the parameter changes each change the sound, so a plug-in that
    // ignored either could not pass.
    const std::vector<float>& left = render->left;
    float peak = 0;
    for (float v : left)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 1e-3f) << format << ": nothing was rendered";
    const std::vector<float> withoutParameters = referenceRender(under, {true, false});
    const std::vector<float> withoutControllers = referenceRender(under, {false, true});
    ASSERT_EQ(withoutParameters.size(), left.size());
    ASSERT_EQ(withoutControllers.size(), left.size());
    EXPECT_FALSE(left == withoutParameters) << format << ": the parameter changes are not heard";
    EXPECT_FALSE(left == withoutControllers) << format << ": controllers 20 and 21 are not heard";
}

// A host that says it renders offline (VST 2.4's process level, VST3's process mode, CLAP's
// render extension) lets the parameter changes it makes in the process call wait for the
// writers' lock, which keeps them exact to their frame; unannounced, the same render takes no
// lock (above). LV2 has no way to say so.
TEST(RealtimeCalls, AnOfflineRenderTheHostAnnouncesMayWait) {
    for (const FormatUnderTest& under : kFormats) {
        if (under.format == Format::Lv2) continue;
        const char* format = formathost::formatName(under.format);
        auto instance = startFormat(under, true);
        ASSERT_TRUE(instance);
        auto render = std::make_unique<FormatRender>();
        startCounting();
        render->play(*instance, Moves{});
        const Counts counts = stopCounting();
        instance->stop();
        EXPECT_GT(counts[CallMutexLock], 0) << format << " renders offline as in real time";
    }
}

#endif // QUARNEL_LV2_PATH

#endif // __linux__
