#include "engine/ensemble.h"

void processEnsemble(Ensemble& e, float* buffer, int n) {
    EnsembleRun run{};
    if (n <= 0 || !beginEnsemble(e, run)) return;
    for (int k = 0; k < n; ++k)
        buffer[k] = ensembleSample(run, buffer[k]);
    endEnsemble(e, run);
}
