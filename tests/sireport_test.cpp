// The SI report's coefficient digits: down to the standard error's second
// significant digit, trailing zeros kept, six digits without an error.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reports/sireport.h"

TEST(SiReport, CoefficientsCarryTheDigitsTheirStandardErrorsSupport) {
    struct Case {
        double value, standardError;
        const char* text;
    };
    const Case cases[] = {
        {1.98501711416468, 0.44, "1.99 ± 0.44"},
        {-4.98447777624053, 9.0, "-5.0 ± 9.0"},
        {0.00995594487285, 0.004, "0.0100 ± 0.0040"},
        {-8.73279275e-06, 1.1e-05, "-0.000009 ± 0.000011"},
        {-0.268, 15, "-0.3 ± 15"},               // an error larger than the value: one digit
        {427.86188742, 256, "430 ± 260"},        // rounded to the error's second digit
        {-336246.198, 2e5, "-340000 ± 200000"},
        {0, 0.5, "0.00 ± 0.50"},
        {1.5e-9, 3.2e-11, "1.500e-09 ± 3.2e-11"},  // beyond fixed notation's reach
        {1.23456789, std::nan(""), "1.23457"},   // no standard error: six digits
        {1.23456789, 0, "1.23457"},
    };
    for (const Case& c : cases) EXPECT_EQ(supportedDigits(c.value, c.standardError), c.text) << c.value;
}
