// quelmo-mpi: quelmo with its workers as MPI ranks, started as
//   mpirun -n K+1 quelmo-mpi <testinductors> [<ranges>] [outf]
// Rank 0 is the master and runs quelmo's own sequence: it reads the files,
// writes all output and answers the keyboard. Ranks 1 to K serve its jobs.
#include <mpi.h>
#include <stdlib.h>

#include <cstdio>

#include "run/help.h"
#include "run/run.h"
#include "transport/process.h"
#include "transport/process_mpi.h"

namespace {

int rank = 0;

// Every end passes here: a return from main, fatal().
// A clean end lets all ranks finish MPI together, and so does an end whose
// workers were already released (a stop that saved a snapshot, or a run that
// ended but failed to write a file): the job then ends with the master's
// status, as quelmo would. Any other status ends the whole job at once with
// that status, as mpirun and srun then report it.
void endRanks(int status, void*) {
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (finalized != 0) return;
    if (status == 0 || (rank == 0 && workersReleased())) {
        if (rank == 0) releaseWorkers();
        MPI_Finalize();
        return;
    }
    // MPI_Abort ends the process without flushing its streams.
    std::fflush(nullptr);
    MPI_Abort(MPI_COMM_WORLD, status & 0xff);
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int size = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    // Help and the version need no workers, so they answer with any number
    // of ranks, started by mpirun or not.
    if (asksForHelp(argc, argv)) {
        if (rank == 0) runMaster(argc, argv);
        MPI_Finalize();
        return 0;
    }
    if (size < 2 || size - 1 > kMaxWorkers) {
        if (rank == 0)
            std::fprintf(stderr,
                         "quelmo-mpi runs one master and 1 to %d workers, one per rank: start it as "
                         "mpirun -n K+1 quelmo-mpi ... for K workers (it was started with %d rank%s)\n",
                         kMaxWorkers, size, size == 1 ? "" : "s");
        MPI_Finalize();
        return 255;
    }
    on_exit(endRanks, nullptr);
    if (rank != 0) return serveJobs();
    // Progress lines reach mpirun, and the user, as they are written.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runMaster(argc, argv);
}
