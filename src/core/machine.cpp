// Instruction-set detection and the short-lived worker threads of one engine call.
#include "machine.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "targets.hpp"

namespace tonalis {

namespace {

std::atomic<int> isa_ceiling{static_cast<int>(VectorIsa::avx512)};
std::atomic<std::size_t> worker_ceiling{max_workers};
// Whether the ceiling was set by the user rather than left at its default.
std::atomic<bool> worker_ceiling_chosen{false};

struct PartThread {
    pthread_t id;
    bool started;
};

struct PartJob {
    void (*task)(void*, std::size_t);
    void* context;
    std::size_t part;
};

void* run_job(void* arg) {
    const PartJob* job = static_cast<const PartJob*>(arg);
    job->task(job->context, job->part);
    return nullptr;
}

struct TeamStart {
    void (*task)(void*, std::size_t, std::size_t);
    void* context;
    std::atomic<std::size_t> team{0};  // 0 until every thread that could start has
};

struct TeamJob {
    TeamStart* start;
    std::size_t member;
};

void* run_member(void* arg) {
    const TeamJob* job = static_cast<const TeamJob*>(arg);
    TeamStart& start = *job->start;
    start.team.wait(0, std::memory_order_acquire);
    start.task(start.context, job->member, start.team.load(std::memory_order_acquire));
    return nullptr;
}

}  // namespace

VectorIsa vector_isa() noexcept {
    static const VectorIsa detected = processor_isa();
    const int ceiling = isa_ceiling.load(std::memory_order_relaxed);
    return static_cast<VectorIsa>(std::min(static_cast<int>(detected), ceiling));
}

void set_vector_isa_ceiling(VectorIsa ceiling) noexcept {
    isa_ceiling.store(static_cast<int>(ceiling), std::memory_order_relaxed);
}

std::size_t worker_count() noexcept {
    static const std::size_t usable = [] {
        long n = 0;
#if defined(__linux__)
        // The processors of this process's affinity mask (a container or
        // taskset may allow fewer than are online).
        cpu_set_t mask;
        if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
            n = CPU_COUNT(&mask);
        } else {
            n = sysconf(_SC_NPROCESSORS_ONLN);
        }
#else
        n = sysconf(_SC_NPROCESSORS_ONLN);
#endif
        return n < 1 ? std::size_t{1} : std::min(static_cast<std::size_t>(n), max_workers);
    }();
    return std::max<std::size_t>(1,
                                 std::min(usable, worker_ceiling.load(std::memory_order_relaxed)));
}

void set_worker_ceiling(std::size_t ceiling) noexcept {
    worker_ceiling.store(ceiling, std::memory_order_relaxed);
    worker_ceiling_chosen.store(true, std::memory_order_relaxed);
}

std::size_t pipeline_worker_count() noexcept {
    return worker_ceiling_chosen.load(std::memory_order_relaxed) ? worker_count() : 1;
}

void run_parts(std::size_t parts, void (*task)(void*, std::size_t), void* context) noexcept {
    parts = std::min(parts, max_workers);
    PartJob jobs[max_workers];
    PartThread threads[max_workers] = {};
    for (std::size_t i = 1; i < parts; ++i) {
        jobs[i] = {task, context, i};
        threads[i].started = pthread_create(&threads[i].id, nullptr, run_job, &jobs[i]) == 0;
    }
    task(context, 0);
    for (std::size_t i = 1; i < parts; ++i) {
        if (threads[i].started) {
            pthread_join(threads[i].id, nullptr);
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
    pthread_t threads[max_workers];
    std::size_t team = 1;
    for (; team < wanted; ++team) {
        jobs[team] = {&start, team};
        if (pthread_create(&threads[team], nullptr, run_member, &jobs[team]) != 0) {
            break;
        }
    }
    start.team.store(team, std::memory_order_release);
    start.team.notify_all();
    task(context, 0, team);
    for (std::size_t i = 1; i < team; ++i) {
        pthread_join(threads[i], nullptr);
    }
}

}  // namespace tonalis
