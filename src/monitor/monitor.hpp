// Residual monitoring: column norms of a block and a convergence-progress
// estimate from the largest norm.
#pragma once

#include "common/core.hpp"

namespace bk {

void COLBLOCKNORMS(const zc* X, const int* ldx, const int* n, const int* s, double* nrm);

// avgrate: the calling thread's progress slot (running average of the rate).
int CONVERGENCEPROGRESS(const int* it, const int* itold, const double* tol, double* rmax,
                        const double* nrm, const int* m, int* itpred, double* pct,
                        double* avgrate);

}  // namespace bk
