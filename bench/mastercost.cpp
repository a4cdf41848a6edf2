// How many worker ranks one master of quelmo-mpi keeps busy: the master's CPU
// time per job, and the work one job gives a worker.
//
// Master: whole runs of quelmo-mpi whose jobs compute almost nothing
// (`minormax 1`: one grid point over the 12 small coils), so that the master
// is as busy as it can be, with 1, 4 and 16 worker ranks, over shared memory
// (Open MPI's transport between ranks of one machine) and over TCP on the
// loopback (`--mca btl tcp,self`, the stand-in for a network between
// machines). Runs of a few and of many generations are subtracted, so that
// start-up and the final report cancel out. With QUELMO_REFERENCE_MPI_BIN
// naming another build's quelmo-mpi, its master is measured beside.
//
// Job: runs with the example ranges (their `minormax 20000`) and one worker,
// over the 60 example coils and over a synthetic set eight times as large
// (the example coils eight times, each copy's measured inductances scaled by
// its own factor near 1, so every job sums over 480 coils).
//
// Every rank runs under this program in its --cpu-of mode, which runs the
// rank as its child and writes the child's CPU time (user and system) to a
// file of its own when it ends. Counters, per job, from the least figures of
// the iterations (other load on the machine only ever adds time): master_us
// and worker_us (CPU of rank 0 and of all worker ranks), wall_us. One master
// keeps about Job's worker_us / Master's master_us worker ranks busy before
// it becomes the bottleneck.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_runs.h"

namespace fs = std::filesystem;

#ifdef QUELMO_MPI_BIN
namespace {

enum class Link { shm, tcp };

struct Workload {
    const char* coils;  // in examples/
    int copies;         // of the coils, each with its own scale
    const char* extra;  // settings after the example ranges
    int shortGenerations;
    int longGenerations;
};
constexpr Workload kMinimal{"coils-small.txt", 1, "minormax 1\n", 2, 1002};
constexpr Workload kExample{"coils-example.txt", 1, "", 1, 21};
constexpr Workload kSynthetic{"coils-example.txt", 8, "", 1, 5};
constexpr int kJobsPerGeneration = 70;  // the schedule with save 4 and tries 20

std::string selfPath;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// --cpu-of FILE PROGRAM ARGS...: runs the program as a child, with this
// process's environment (under mpirun the child becomes the MPI rank), and
// writes its CPU seconds to FILE.<rank>. Exits with the child's status.
int cpuOf(char** argv) {
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    const char* rank = std::getenv("OMPI_COMM_WORLD_RANK");
    std::ofstream(std::string(argv[0]) + "." + (rank != nullptr ? rank : "0")) << seconds << "\n";
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Measured {
    double wallSeconds = 0;
    double masterSeconds = 0;   // CPU of rank 0
    double workerSeconds = 0;   // CPU of all worker ranks
    int status = -1;
};

// Runs `command` in `dir` with no input and its output discarded.
Measured runJob(const std::vector<std::string>& command, const fs::path& dir, int workers) {
    for (int rank = 0; rank <= workers; ++rank) fs::remove(dir / ("cpu." + std::to_string(rank)));
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = startQuietly(command, dir);
    int status = 0;
    waitpid(child, &status, 0);
    Measured m;
    m.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    for (int rank = 0; rank <= workers; ++rank) {
        const std::string text = readText(dir / ("cpu." + std::to_string(rank)));
        if (text.empty()) m.status = -1;
        (rank == 0 ? m.masterSeconds : m.workerSeconds) += std::atof(text.c_str());
    }
    return m;
}

// The coil file of the workload: each copy of every coil line with the
// measured inductance (the first field) scaled by 1 + copy / 500, and a name
// of its own.
std::string coilFile(const Workload& work) {
    const std::string source = readText(std::string(QUELMO_SOURCE_DIR) + "/examples/" + work.coils);
    if (work.copies == 1) return source;
    std::string out;
    for (int copy = 0; copy < work.copies; ++copy) {
        std::istringstream lines(source);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || std::isalpha(static_cast<unsigned char>(line[0])) || line[0] == '/') continue;
            const size_t comma = line.find(',');
            char scaled[64];
            std::snprintf(scaled, sizeof scaled, "%.9g", std::atof(line.c_str()) * (1 + copy / 500.0));
            out += scaled + line.substr(comma) + "_" + std::to_string(copy) + "\n";
        }
    }
    return out;
}

// mpirun with every rank under this program's --cpu-of mode.
std::vector<std::string> commandFor(const std::string& program, Link link, int workers, const std::string& ranges) {
    // Unbound, as the machine may be shared; ob1, so that the transport
    // named is the one used.
    std::vector<std::string> command{QUELMO_MPIEXEC, "--allow-run-as-root", "--oversubscribe", "--bind-to",
                                     "none", "--mca", "pml", "ob1"};
    if (link == Link::tcp) {
        // Open MPI leaves the loopback out of TCP unless told to use it.
        for (const char* arg : {"--mca", "btl", "tcp,self", "--mca", "btl_tcp_if_include", "lo"})
            command.push_back(arg);
    }
    for (const std::string& arg :
         {std::string("-n"), std::to_string(workers + 1), selfPath, std::string("--cpu-of"), std::string("cpu"), program,
          std::string("coils.txt"), ranges})
        command.push_back(arg);
    return command;
}

void timeJobs(benchmark::State& state, const std::string& program, Link link, const Workload& work) {
    const int workers = static_cast<int>(state.range(0));
    Scratch scratch;
    std::ofstream(scratch.dir() / "coils.txt") << coilFile(work);
    const std::string ranges = readText(std::string(QUELMO_SOURCE_DIR) + "/examples/ranges-example.txt") +
                               work.extra + "checkpoint checkpoint.txt\n";
    const int jobs = (work.longGenerations - work.shortGenerations) * kJobsPerGeneration;
    for (const int generations : {work.shortGenerations, work.longGenerations})
        std::ofstream(scratch.dir() / ("ranges" + std::to_string(generations) + ".txt"))
            << ranges << "maxgenerations " << generations << "\n";

    // Each figure of each length, the least of the iterations: other load
    // only ever adds time, to the CPU as well, as waits grow longer and cost
    // more wake-ups.
    Measured least[2] = {{1e30, 1e30, 1e30, 0}, {1e30, 1e30, 1e30, 0}};
    for (auto _ : state) {
        Measured runs[2];
        for (int i = 0; i < 2; ++i) {
            const int generations = i == 0 ? work.shortGenerations : work.longGenerations;
            runs[i] = runJob(commandFor(program, link, workers, "ranges" + std::to_string(generations) + ".txt"),
                             scratch.dir(), workers);
            if (runs[i].status != 0) {
                state.SkipWithError("a run failed");
                return;
            }
            least[i].wallSeconds = std::min(least[i].wallSeconds, runs[i].wallSeconds);
            least[i].masterSeconds = std::min(least[i].masterSeconds, runs[i].masterSeconds);
            least[i].workerSeconds = std::min(least[i].workerSeconds, runs[i].workerSeconds);
        }
        state.SetIterationTime(std::max(0.0, runs[1].wallSeconds - runs[0].wallSeconds));
    }
    state.counters["master_us"] = 1e6 * (least[1].masterSeconds - least[0].masterSeconds) / jobs;
    state.counters["worker_us"] = 1e6 * (least[1].workerSeconds - least[0].workerSeconds) / jobs;
    state.counters["wall_us"] = 1e6 * (least[1].wallSeconds - least[0].wallSeconds) / jobs;
}

// Master/<link>/<workers> and Job/<coils>/1 for the program; with a
// reference build, Master/<link>_reference/<workers> for it too.
void registerRuns(const std::string& program, const std::string& suffix) {
    for (const Link link : {Link::shm, Link::tcp}) {
        const std::string name = std::string("Master/") + (link == Link::shm ? "shm" : "tcp") + suffix;
        benchmark::RegisterBenchmark(name.c_str(), [program, link](benchmark::State& state) {
            timeJobs(state, program, link, kMinimal);
        })->Arg(1)->Arg(4)->Arg(16)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    }
    if (!suffix.empty()) return;
    for (const auto& [name, work] : {std::pair{"Job/example", &kExample}, std::pair{"Job/synthetic", &kSynthetic}})
        benchmark::RegisterBenchmark(name, [program, work = work](benchmark::State& state) {
            timeJobs(state, program, Link::shm, *work);
        })->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef QUELMO_MPI_BIN
    if (argc > 3 && std::strcmp(argv[1], "--cpu-of") == 0) return cpuOf(argv + 2);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
#ifdef QUELMO_MPI_BIN
    selfPath = fs::canonical("/proc/self/exe").string();
    registerRuns(QUELMO_MPI_BIN, "");
    // Another build's quelmo-mpi side by side, for instance the one before a
    // change to the master.
    if (const char* reference = std::getenv("QUELMO_REFERENCE_MPI_BIN")) registerRuns(reference, "_reference");
    benchmark::RunSpecifiedBenchmarks();
#else
    std::fprintf(stderr, "quelmo-mpi was not built (MPI not found): nothing to measure\n");
#endif
    benchmark::Shutdown();
    return 0;
}
