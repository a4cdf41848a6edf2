// Cost of the exchange between master and workers for the file exchange of
// quelmo and the MPI messages of quelmo-mpi, with 1, 2 and 4 workers (on a
// 2-core machine 4 workers and the master oversubscribe the cores).
//
// Whole runs of the programs are timed. Each iteration runs the same fit
// twice, for a few and for more generations of 70 jobs each, and takes the
// difference: start-up (mpirun's included) and the final report cancel out,
// leaving the time of the jobs of the extra generations.
//
// Exchange: jobs that compute almost nothing (`minormax 1`: one grid point
// over 12 coils), so a job's time is the exchange's overhead plus the
// master's own work on the candidate. Compute: jobs of a few milliseconds
// (`minormax 50000` over the 60 example coils), so that waits which took CPU
// from the computing workers would show as fewer jobs per second.
//
// Counters, from the fastest run of each length (other load on the machine
// only ever adds time): us_per_job (wall), jobs_per_s, cpu_us_per_job (all
// processes of the run, master, workers and mpirun, from the children's
// resource usage) and start_ms (the short run's whole wall time, mostly
// start-up). The time column is the mean difference of each pair of runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "program_runs.h"

namespace {

namespace fs = std::filesystem;

enum class Transport { files, mpi };

struct Workload {
    const char* coils;  // in examples/
    int minormax;
    int shortGenerations;
    int longGenerations;
};
constexpr Workload kExchange{"coils-small.txt", 1, 2, 402};
constexpr Workload kCompute{"coils-example.txt", 50000, 1, 11};
constexpr int kJobsPerGeneration = 70;  // the schedule with save 4 and tries 20

struct Measured {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    int status = -1;
};

double cpuOfChildren() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs `command` in `dir` with no input and its output discarded.
Measured runCommand(const std::vector<std::string>& command, const fs::path& dir) {
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    (void)subreaper;
    const double cpuBefore = cpuOfChildren();
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = startQuietly(command, dir);
    int status = 0;
    waitpid(child, &status, 0);
    // quelmo's forked workers outlive it briefly and come to this process as
    // orphans: waiting for them adds their CPU time to the children's.
    while (wait(nullptr) > 0) {
    }
    Measured m;
    m.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpuSeconds = cpuOfChildren() - cpuBefore;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m;
}

std::vector<std::string> commandFor(Transport transport, int workers, const std::string& ranges) {
    if (transport == Transport::files) return {QUELMO_BIN, "coils.txt", ranges};
#ifdef QUELMO_MPI_BIN
    // Unbound, like quelmo's forked workers: Open MPI binds each rank to a
    // core when there are no more ranks than cores, and a worker bound to a
    // core that other work shares cannot move to the master's idle one.
    return {QUELMO_MPIEXEC, "--allow-run-as-root", "--oversubscribe", "--bind-to", "none",
            "-n", std::to_string(workers + 1), QUELMO_MPI_BIN, "coils.txt", ranges};
#else
    (void)workers;
    return {};
#endif
}

void timeJobs(benchmark::State& state, Transport transport, const Workload& work) {
    const int workers = static_cast<int>(state.range(0));
    const std::vector<std::string> probe = commandFor(transport, workers, "");
    if (probe.empty()) {
        state.SkipWithError("quelmo-mpi was not built (MPI not found)");
        return;
    }
    Scratch scratch;
    const std::string source = QUELMO_SOURCE_DIR;
    fs::copy_file(source + "/examples/" + work.coils, scratch.dir() / "coils.txt");
    const std::string ranges = exampleSearchRanges() + "minormax " +
                               std::to_string(work.minormax) + "\nprocesses " + std::to_string(workers) + "\n";
    const int jobs = (work.longGenerations - work.shortGenerations) * kJobsPerGeneration;
    for (const int generations : {work.shortGenerations, work.longGenerations})
        std::ofstream(scratch.dir() / ("ranges" + std::to_string(generations) + ".txt"))
            << ranges << "maxgenerations " << generations << "\n";

    // The fastest of the runs of each length: the machine may be shared, and
    // other load only ever adds time.
    Measured fastestShort{1e30, 0, 0};
    Measured fastestLong{1e30, 0, 0};
    for (auto _ : state) {
        const Measured shortRun =
            runCommand(commandFor(transport, workers, "ranges" + std::to_string(work.shortGenerations) + ".txt"),
                       scratch.dir());
        const Measured longRun =
            runCommand(commandFor(transport, workers, "ranges" + std::to_string(work.longGenerations) + ".txt"),
                       scratch.dir());
        if (shortRun.status != 0 || longRun.status != 0) {
            state.SkipWithError("a run failed");
            return;
        }
        state.SetIterationTime(std::max(0.0, longRun.wallSeconds - shortRun.wallSeconds));
        if (shortRun.wallSeconds < fastestShort.wallSeconds) fastestShort = shortRun;
        if (longRun.wallSeconds < fastestLong.wallSeconds) fastestLong = longRun;
    }
    const double wall = fastestLong.wallSeconds - fastestShort.wallSeconds;
    state.counters["us_per_job"] = 1e6 * wall / jobs;
    state.counters["jobs_per_s"] = jobs / wall;
    state.counters["cpu_us_per_job"] = 1e6 * (fastestLong.cpuSeconds - fastestShort.cpuSeconds) / jobs;
    state.counters["start_ms"] = 1e3 * fastestShort.wallSeconds;
}

void Exchange(benchmark::State& state, Transport transport) { timeJobs(state, transport, kExchange); }
void Compute(benchmark::State& state, Transport transport) { timeJobs(state, transport, kCompute); }

}  // namespace

BENCHMARK_CAPTURE(Exchange, files, Transport::files)
    ->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Exchange, mpi, Transport::mpi)
    ->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compute, files, Transport::files)
    ->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compute, mpi, Transport::mpi)
    ->Arg(1)->Arg(4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
