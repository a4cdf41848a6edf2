// How range adaptation moves the end of a range, one move at a time. The
// adaptation makes its moves with these, and a snapshot's range table is
// checked against them.
#pragma once

// A low end goes down: a negative one doubles, a positive one becomes 0, and
// 0 becomes minus the high end.
inline double lowerEnd(double low, double high) {
    if (low < 0) return low * 2;
    if (low > 0) return 0;
    return -high;
}

// A high end goes up, the mirror image: a positive one doubles, a negative
// one becomes 0, and 0 becomes minus the low end.
inline double raiseEnd(double low, double high) {
    if (high < 0) return 0;
    if (high > 0) return high * 2;
    return -low;
}
