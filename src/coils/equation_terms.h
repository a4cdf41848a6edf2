// The four polynomials of the inductance equation by Horner's scheme and the
// products they form, written once for every evaluation of the equation: on
// plain doubles (evalInductorAbs, the broadcast side of the grid walk) and on
// vector lanes (the tabulated side of the grid walk). The walk's results are
// bit-identical to evalInductorAbs because both run exactly these operations
// in exactly this order.
//
// `A` supplies add, mul and set1 for the value type X (Plain for doubles, the
// lane type for vectors); `c(s)` yields coefficient s of the polynomial's
// group (s = 0 for the constant term).
//
// Internal linkage on purpose: the grid walk's files are compiled for
// different instruction sets, and an inline function with external linkage
// could be merged across them by the linker, putting vector instructions into
// code that runs on any CPU.
#pragma once

#include "coils/records.h"

namespace {
namespace equation {

struct Plain {
    static double add(double a, double b) { return a + b; }
    static double mul(double a, double b) { return a * b; }
    static double set1(double x) { return x; }
};

// Coefficient s of the group that starts at x.
template <class T>
auto groupAt(const T* x) {
    return [x](int s) { return x[s]; };
}

// ((c3*x + c2)*x + c1)*x + c0
template <class A, class C, class X>
X cubic(const C& c, X x) {
    return A::add(A::mul(A::add(A::mul(A::add(A::mul(c(3), x), c(2)), x), c(1)), x), c(0));
}

// (c2*x + c1)*x + c0
template <class A, class C, class X>
X quadratic(const C& c, X x) {
    return A::add(A::mul(A::add(A::mul(c(2), x), c(1)), x), c(0));
}

// R(a), T(N) and Lambda(len) are cubics, W(w) a quadratic.
template <class A, class C, class X>
X radiusPoly(const C& c, X a) {
    return cubic<A>(c, a);
}
template <class A, class C, class X>
X turnsPoly(const C& c, X n) {
    return cubic<A>(c, n);
}
template <class A, class C, class X>
X lengthPoly(const C& c, X len) {
    return cubic<A>(c, len);
}
template <class A, class C, class X>
X wirePoly(const C& c, X w) {
    return quadratic<A>(c, w);
}

// The numerator mu0 * R(a) * T(N) is formed as (R(a) * mu0) * T(N); the
// first product is the radius term, which the grid walk hoists.
template <class A, class X>
X radiusTerm(X radius) {
    return A::mul(radius, A::set1(kMu0));
}
template <class A, class X>
X numerator(X radiusTerm, X turns) {
    return A::mul(radiusTerm, turns);
}

// The denominator Lambda(len) * W(w).
template <class A, class X>
X denominator(X length, X wire) {
    return A::mul(length, wire);
}

}  // namespace equation
}  // namespace
