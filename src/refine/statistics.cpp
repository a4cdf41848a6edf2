// The statistics are computed from a column-pivoted QR decomposition of the
// Jacobian with every column scaled to unit norm, never from JᵀJ itself:
// the coefficients span eleven orders of magnitude, and forming JᵀJ would
// square a condition number that the scaling and the decomposition keep in
// hand. A pivot below the working precision of the decomposition marks a
// coefficient the data cannot decide; the statistics that need the inverse
// are then left out rather than printed as meaningless numbers.
#include "refine/statistics.h"

#include <Eigen/Dense>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string tooFewCoils(int n, int p) {
    char text[160];
    std::snprintf(text, sizeof text, "too few coils: %d evaluated, at least %d needed for %d free coefficients", n,
                  p + 1, p);
    return text;
}

// Leverage, studentized residuals and the outliers among them.
void residualDiagnostics(FitStatistics& s, const std::vector<double>& residuals, const Eigen::MatrixXd& q) {
    for (int i = 0; i < s.n; ++i) {
        const double h = q.cols() > 0 ? q.row(i).squaredNorm() : 0.0;
        s.leverage[i] = h;
        const double spread = s.redchi * (1 - h);
        s.studentized[i] = spread > 0 ? residuals[i] / std::sqrt(spread) : kNaN;
        if (std::fabs(s.studentized[i]) > kOutlierLimit) s.outliers.push_back(i);
    }
}

}  // namespace

double akaike(int n, double chisqr, int p) { return n * std::log(chisqr / n) + 2 * p; }

FitStatistics fitStatistics(const std::vector<FitCoil>& coils, const Coefficients& c, int32_t held) {
    FitStatistics s;
    s.standardError.fill(kNaN);
    s.n = static_cast<int>(coils.size());
    s.free = ~held & ((int32_t{1} << kCoefficientCount) - 1);
    s.p = std::popcount(static_cast<uint32_t>(s.free));
    for (int k = 0; k < kCoefficientCount; ++k)
        if ((s.free >> k & 1) != 0) s.freeOrder.push_back(k);
    s.leverage.assign(s.n, kNaN);
    s.studentized.assign(s.n, kNaN);

    std::vector<double> residuals, jacobian;
    if (s.n == 0) {
        s.unavailable = "the final set evaluates no coil";
        return s;
    }
    if (s.n < s.p + 1) {
        s.unavailable = tooFewCoils(s.n, s.p);
        return s;
    }
    s.chisqr = squaredErrorSum(coils, c);
    if (!evaluateResiduals(coils, c, residuals, &jacobian) || !std::isfinite(s.chisqr)) {
        s.unavailable = "the final set cannot evaluate the coils it was fitted to";
        return s;
    }
    if (!(std::sqrt(s.chisqr / s.n) > kRoundOffResidual)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the final set fits every coil to round-off (RMS relative error %g), so chi-square and all "
                      "that derives from it mean nothing",
                      std::sqrt(s.chisqr / s.n));
        s.unavailable = text;
        return s;
    }
    s.redchi = s.chisqr / (s.n - s.p);
    s.aic = akaike(s.n, s.chisqr, s.p);
    s.bic = s.n * std::log(s.chisqr / s.n) + std::log(static_cast<double>(s.n)) * s.p;

    // The free columns, each scaled to unit norm.
    const int p = s.p;
    Eigen::MatrixXd a(s.n, p);
    Eigen::VectorXd norms(p);
    for (int j = 0; j < p; ++j) {
        for (int i = 0; i < s.n; ++i) a(i, j) = jacobian[static_cast<size_t>(i) * kCoefficientCount + s.freeOrder[j]];
        const double norm = a.col(j).norm();
        norms(j) = std::isfinite(norm) && norm > 0 ? norm : 1.0;
        a.col(j) /= norms(j);
    }
    if (!a.allFinite()) {
        s.unavailable = "the equation's derivatives are not finite at the final set";
        return s;
    }
    if (p == 0) {
        residualDiagnostics(s, residuals, Eigen::MatrixXd(s.n, 0));
        return s;
    }

    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(a);
    qr.setThreshold(std::numeric_limits<double>::epsilon() * std::max(s.n, p));
    const auto& pivots = qr.colsPermutation().indices();
    const double limit = qr.threshold() * qr.maxPivot();
    for (int i = 0; i < p; ++i)
        if (!(std::fabs(qr.matrixQR()(i, i)) > limit)) s.undetermined |= int32_t{1} << s.freeOrder[pivots(i)];
    if (s.undetermined != 0) return s;

    // (AᵀA)⁻¹ = P R⁻¹ R⁻ᵀ Pᵀ for A P = Q R.
    const Eigen::MatrixXd rInverse = qr.matrixQR()
                                         .topLeftCorner(p, p)
                                         .triangularView<Eigen::Upper>()
                                         .solve(Eigen::MatrixXd::Identity(p, p));
    const Eigen::MatrixXd pivoted = rInverse * rInverse.transpose();
    const Eigen::MatrixXd inverse = qr.colsPermutation() * pivoted * qr.colsPermutation().transpose();

    s.correlation.assign(static_cast<size_t>(p) * p, 0.0);
    s.covariance.assign(static_cast<size_t>(p) * p, 0.0);
    for (int i = 0; i < p; ++i) {
        // The columns of A were scaled by their norms: undo it on both sides.
        for (int j = 0; j < p; ++j)
            s.covariance[static_cast<size_t>(i) * p + j] = inverse(i, j) * s.redchi / (norms(i) * norms(j));
        s.standardError[s.freeOrder[i]] = std::sqrt(inverse(i, i) * s.redchi) / norms(i);
        if (!std::isfinite(s.standardError[s.freeOrder[i]])) s.infiniteError |= int32_t{1} << s.freeOrder[i];
        for (int j = 0; j < p; ++j) {
            const double r = inverse(i, j) / std::sqrt(inverse(i, i) * inverse(j, j));
            s.correlation[static_cast<size_t>(i) * p + j] = r;
            if (j > i && std::fabs(r) > kHighCorrelation)
                s.highCorrelations.push_back({s.freeOrder[i], s.freeOrder[j], r});
        }
    }
    std::stable_sort(s.highCorrelations.begin(), s.highCorrelations.end(),
                     [](const CorrelatedPair& x, const CorrelatedPair& y) { return std::fabs(x.r) > std::fabs(y.r); });

    // The hat matrix A(AᵀA)⁻¹Aᵀ is Q Qᵀ with the thin Q: its diagonal is the
    // squared norm of each row of Q.
    const Eigen::MatrixXd q = qr.householderQ() * Eigen::MatrixXd::Identity(s.n, p);
    residualDiagnostics(s, residuals, q);
    return s;
}
