// Instruction-set detection, the processors this process may use and the
// short-lived worker threads of one engine call: the operating system's
// facilities for these live here and nowhere else in the core.
// sched_getaffinity and CPU_COUNT are GNU extensions, which g++ declares
// by default and clang++ over other C++ libraries does not.
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE 1
#endif

#include "machine.hpp"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// WaitOnAddress and WakeByAddressAll: Windows 8 and later.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602
#endif
#include <process.h>
#include <windows.h>
#else
#if __has_include(<pthread.h>)
#include <pthread.h>
#define TONALIS_POSIX_THREADS 1
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif
#if defined(__EMSCRIPTEN_PTHREADS__)
#include <emscripten/threading.h>
#endif
// getloadavg: the C library's on these systems (stdlib.h).
#if (defined(__linux__) && !defined(__ANDROID__)) || defined(__APPLE__) || defined(__FreeBSD__) || \
    defined(__NetBSD__) || defined(__OpenBSD__)
#define TONALIS_LOAD_AVERAGE 1
#endif
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#if defined(TONALIS_LOAD_AVERAGE)
#include <stdlib.h>
#endif

#include "targets.hpp"

namespace tonalis {

namespace {

std::atomic<int> isa_ceiling{static_cast<int>(VectorIsa::avx512)};
// The thread count the user chose, 0 while none was.
std::atomic<std::size_t> chosen_workers{0};

// The processors this process may run on, at least 1: its affinity mask
// where the system has one (a container, taskset or start /affinity may
// allow fewer than are online), else the processors online.
long usable_processors() noexcept {
    long n = 0;
#if defined(_WIN32)
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    // The mask covers the process's processor group; it is empty when the
    // process's threads span several groups, and the count of all active
    // processors then stands.
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
        n = std::popcount(static_cast<unsigned long long>(process));
    } else {
        n = static_cast<long>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    }
#elif defined(__EMSCRIPTEN__)
#if defined(__EMSCRIPTEN_PTHREADS__)
    n = emscripten_num_logical_cores();
#else
    n = 1;  // built without threads: no thread could start
#endif
#elif defined(__linux__)
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        n = CPU_COUNT(&mask);
    } else {  // more processors than a cpu_set_t holds
        n = sysconf(_SC_NPROCESSORS_ONLN);
    }
#elif defined(__APPLE__)
    // No affinity masks here: the processors the scheduler has available.
    int count = 0;
    std::size_t size = sizeof count;
    if (sysctlbyname("hw.logicalcpu", &count, &size, nullptr, 0) == 0 && size == sizeof count) {
        n = count;
    } else {
        n = sysconf(_SC_NPROCESSORS_ONLN);
    }
#elif defined(_SC_NPROCESSORS_ONLN)
    n = sysconf(_SC_NPROCESSORS_ONLN);
#endif
    return std::max(n, 1L);
}

// One worker thread: started, then joined. A system without threads
// starts none, and the callers run the work on the calling thread.
//
// Each gets a stack of this size rather than the system's default for new
// threads, which is as small as 64 KiB (recent emscripten) or 128 KiB
// (musl): the engines' largest frames take tens of KiB. Except in
// WebAssembly, whose stacks come from the heap, the pages are only
// reserved until touched.
constexpr std::size_t worker_stack_bytes = std::size_t{2} << 20;

#if defined(_WIN32)
using ThreadHandle = HANDLE;

template <void (*run)(void*)>
unsigned __stdcall thread_entry(void* arg) {
    run(arg);
    return 0;
}

template <void (*run)(void*)>
bool start_thread(ThreadHandle& handle, void* arg) noexcept {
    // _beginthreadex rather than CreateThread: the C runtime's own state
    // for the thread is set up and freed with it.
    const std::uintptr_t h =
        _beginthreadex(nullptr, static_cast<unsigned>(worker_stack_bytes), thread_entry<run>, arg,
                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    handle = reinterpret_cast<HANDLE>(h);
    return h != 0;
}

void join_thread(ThreadHandle handle) noexcept {
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}
#elif defined(TONALIS_POSIX_THREADS)
using ThreadHandle = pthread_t;

template <void (*run)(void*)>
void* thread_entry(void* arg) {
    run(arg);
    return nullptr;
}

template <void (*run)(void*)>
bool start_thread(ThreadHandle& handle, void* arg) noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    // A system that refuses the size keeps its default.
    static_cast<void>(pthread_attr_setstacksize(&attributes, worker_stack_bytes));
    const bool started = pthread_create(&handle, &attributes, thread_entry<run>, arg) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

void join_thread(ThreadHandle handle) noexcept {
    pthread_join(handle, nullptr);
}
#else
struct ThreadHandle {};

template <void (*run)(void*)>
bool start_thread(ThreadHandle&, void*) noexcept {
    return false;
}

void join_thread(ThreadHandle) noexcept {}
#endif

struct PartThread {
    ThreadHandle handle;
    bool started;
};

struct PartJob {
    void (*task)(void*, std::size_t);
    void* context;
    std::size_t part;
};

void run_job(void* arg) {
    const PartJob* job = static_cast<const PartJob*>(arg);
    job->task(job->context, job->part);
}

struct TeamStart {
    void (*task)(void*, std::size_t, std::size_t);
    void* context;
    std::atomic<std::uint32_t> team{0};  // 0 until every thread that could start has
};

struct TeamJob {
    TeamStart* start;
    std::size_t member;
};

void run_member(void* arg) {
    const TeamJob* job = static_cast<const TeamJob*>(arg);
    TeamStart& start = *job->start;
    wait_while(start.team, 0);
    start.task(start.context, job->member, start.team.load(std::memory_order_acquire));
}

// How many processors other work keeps busy: the larger of the load
// average over the last minute and the threads ready to run now, each less
// the calling thread (which the load counts when it has kept busy, as a
// program dithering picture after picture does). The load alone would
// take a minute to see a sudden load; the count alone is a single glance.
// False where the system tells neither.
bool busy_elsewhere(double& busy) noexcept {
#if defined(__linux__)
    const int file = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (file >= 0) {
        char text[128];
        const ssize_t got = read(file, text, sizeof text - 1);
        close(file);
        double minute = 0.0;
        double running = 0.0;
        if (got > 0) {
            text[got] = '\0';
            if (parse_loadavg(text, minute, running)) {
                busy = std::max({minute - 1.0, running - 1.0, 0.0});
                return true;
            }
        }
    }
#endif
#if defined(TONALIS_LOAD_AVERAGE)
    double minute = 0.0;
    if (getloadavg(&minute, 1) == 1 && minute >= 0.0) {
        busy = std::max(minute - 1.0, 0.0);
        return true;
    }
#endif
    (void)busy;
    return false;
}

}  // namespace

bool parse_loadavg(const char* text, double& minute, double& running) noexcept {
    const char* p = text;
    const auto digits = [&p](double& value) {
        const char* start = p;
        for (; *p >= '0' && *p <= '9'; ++p) value = value * 10.0 + (*p - '0');
        return p != start;
    };
    double whole = 0.0;
    if (!digits(whole)) return false;
    double fraction = 0.0;
    double scale = 1.0;
    if (*p == '.') {
        ++p;
        for (; *p >= '0' && *p <= '9'; ++p) {
            fraction = fraction * 10.0 + (*p - '0');
            scale *= 10.0;
        }
    }
    minute = whole + fraction / scale;
    for (int field = 0; field < 3; ++field) {  // to the fourth field
        while (*p != ' ' && *p != '\0') ++p;
        while (*p == ' ') ++p;
    }
    running = 0.0;
    return digits(running) && *p == '/';
}

VectorIsa vector_isa() noexcept {
    static const VectorIsa detected = processor_isa();
    const int ceiling = isa_ceiling.load(std::memory_order_relaxed);
    return static_cast<VectorIsa>(std::min(static_cast<int>(detected), ceiling));
}

void set_vector_isa_ceiling(VectorIsa ceiling) noexcept {
    isa_ceiling.store(static_cast<int>(ceiling), std::memory_order_relaxed);
}

std::size_t worker_count() noexcept {
    const std::size_t chosen = chosen_workers.load(std::memory_order_relaxed);
    if (chosen != 0) {
        return std::min(chosen, max_workers);
    }
    static const std::size_t usable =
        std::min(static_cast<std::size_t>(usable_processors()), max_workers);
    return usable;
}

void set_worker_ceiling(std::size_t ceiling) noexcept {
    chosen_workers.store(std::max<std::size_t>(ceiling, 1), std::memory_order_relaxed);
}

std::size_t pipeline_worker_count() noexcept {
    if (chosen_workers.load(std::memory_order_relaxed) != 0) {
        return worker_count();
    }
    const std::size_t usable = worker_count();
    double others = 0.0;
    if (usable < 2 || !busy_elsewhere(others)) {
        return 1;
    }
    const double idle = static_cast<double>(usable) - others;
    return idle < 2.0 ? 1 : std::min(usable, static_cast<std::size_t>(idle));
}

void wait_while(const std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept {
#if defined(_WIN32)
    static_assert(sizeof word == sizeof seen && std::atomic<std::uint32_t>::is_always_lock_free);
    // WaitOnAddress may return before the word changes: look again.
    while (word.load(std::memory_order_acquire) == seen) {
        WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &seen, sizeof seen, INFINITE);
    }
#else
    word.wait(seen, std::memory_order_acquire);
#endif
}

void wake_all(std::atomic<std::uint32_t>& word) noexcept {
#if defined(_WIN32)
    WakeByAddressAll(&word);
#else
    word.notify_all();
#endif
}

void* allocate_aligned(std::size_t alignment, std::size_t bytes) noexcept {
#if defined(_WIN32)
    return _aligned_malloc(bytes, alignment);
#elif defined(_POSIX_VERSION)
    // posix_memalign rather than std::aligned_alloc, which older macOS
    // releases lack.
    void* block = nullptr;
    return posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
#else
    return std::aligned_alloc(alignment, bytes);
#endif
}

void free_aligned(void* block) noexcept {
#if defined(_WIN32)
    _aligned_free(block);
#else
    std::free(block);
#endif
}

void run_parts(std::size_t parts, void (*task)(void*, std::size_t), void* context) noexcept {
    parts = std::min(parts, max_workers);
    PartJob jobs[max_workers];
    PartThread threads[max_workers] = {};
    for (std::size_t i = 1; i < parts; ++i) {
        jobs[i] = {task, context, i};
        threads[i].started = start_thread<run_job>(threads[i].handle, &jobs[i]);
    }
    task(context, 0);
    for (std::size_t i = 1; i < parts; ++i) {
        if (threads[i].started) {
            join_thread(threads[i].handle);
        } else {
            task(context, i);
        }
    }
}

void run_team(std::size_t wanted, void (*task)(void*, std::size_t, std::size_t),
              void* context) noexcept {
    wanted = std::clamp<std::size_t>(wanted, 1, max_workers);
    TeamStart start{task, context, {}};
    TeamJob jobs[max_workers];
    ThreadHandle threads[max_workers];
    std::size_t team = 1;
    for (; team < wanted; ++team) {
        jobs[team] = {&start, team};
        if (!start_thread<run_member>(threads[team], &jobs[team])) {
            break;
        }
    }
    start.team.store(static_cast<std::uint32_t>(team), std::memory_order_release);
    wake_all(start.team);
    task(context, 0, team);
    for (std::size_t i = 1; i < team; ++i) {
        join_thread(threads[i]);
    }
}

}  // namespace tonalis
