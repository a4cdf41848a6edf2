// quelmo._quelmo: the program's own equation, goodness and coil reader,
// compiled into the Python package. The package's Python code checks and
// converts its arguments; this module only moves arrays in and out of the
// program's records and calls the program's functions on them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "coils/baseformulas.h"
#include "coils/equation.h"
#include "coils/readind.h"
#include "common/fatal.h"

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Integers = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

// The reader's failure, carrying what it wrote to standard error.
struct ReadFailure {
    std::string message;
};

// Sends what the program writes to standard error (file descriptor 2) into a
// temporary file while it lives, and gives it back: the reader writes its
// messages there, and a Python session's own standard error (a notebook's
// log, say) is no place for them.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), 2) < 0) {
            restore();
            throw std::runtime_error("cannot capture the coil reader's messages");
        }
    }
    ~StandardErrorCapture() { restore(); }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    // Everything written so far; standard error is back in place afterwards.
    std::string take() {
        std::fflush(stderr);
        std::string text;
        if (file_ != nullptr) {
            std::rewind(file_);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
        }
        restore();
        return text;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
            saved_ = -1;
        }
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// The reader's list of coil records, freed with their names when it goes.
struct CoilList {
    InductorRecord* head = nullptr;
    CoilList() = default;
    CoilList(const CoilList&) = delete;
    CoilList& operator=(const CoilList&) = delete;
    ~CoilList() {
        while (head != nullptr) {
            InductorRecord* next = head->next;
            std::free(head->fileName);
            std::free(head);
            head = next;
        }
    }
};

// A coil name as text; bytes that are not UTF-8 are kept as Python keeps
// such file names (surrogate escapes), so that they write back unchanged.
py::str coilName(const char* name) {
    PyObject* text = PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(std::strlen(name)), "surrogateescape");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// Reads a coil file with the program's reader. Returns the columns in file
// order and what the reader wrote to standard error (its warnings); a faulty
// file raises ReadFailure with the reader's message.
py::tuple readCoils(const std::string& path) {
    StandardErrorCapture capture;
    CoilList list;
    theInductors = nullptr;
    try {
        const FatalThrowing throwing;
        readTestInductors(path.c_str());
    } catch (const FatalError&) {
        list.head = theInductors;
        theInductors = nullptr;
        throw ReadFailure{capture.take()};
    }
    list.head = theInductors;
    theInductors = nullptr;
    const std::string messages = capture.take();

    // The list holds the coils in reverse file order.
    std::vector<const InductorRecord*> coils;
    for (const InductorRecord* coil = list.head; coil != nullptr; coil = coil->next) coils.push_back(coil);
    const auto n = static_cast<py::ssize_t>(coils.size());
    py::list names(n);
    Doubles measured(n), radius(n), wire(n), length(n);
    Integers gauge(n), turns(n);
    for (py::ssize_t i = 0; i < n; ++i) {
        const InductorRecord* coil = coils[coils.size() - 1 - static_cast<size_t>(i)];
        names[i] = coilName(coil->fileName);
        measured.mutable_at(i) = coil->measuredInductance;
        radius.mutable_at(i) = coil->radius;
        wire.mutable_at(i) = coil->wire;
        gauge.mutable_at(i) = coil->gauge;
        turns.mutable_at(i) = coil->turns;
        length.mutable_at(i) = coil->length;
    }
    return py::make_tuple(names, measured, radius, wire, gauge, turns, length, messages);
}

ResultRecord coefficientSet(const Doubles& coefficients) {
    if (coefficients.ndim() != 1 || coefficients.shape(0) != kCoefficientCount)
        throw py::value_error("expected " + std::to_string(kCoefficientCount) + " coefficients");
    ResultRecord set{};
    for (int k = 0; k < kCoefficientCount; ++k) set.coefficients[k] = coefficients.at(k);
    return set;
}

// The length the coil columns share.
py::ssize_t coilCount(std::initializer_list<const py::array*> columns) {
    const py::ssize_t n = (*columns.begin())->size();
    for (const py::array* column : columns)
        if (column->ndim() != 1 || column->size() != n) throw py::value_error("the coil columns differ in length");
    return n;
}

// The coils as records, linked in reverse order of the arrays as the
// program's reader links them, so that the goodness sums them in the
// program's order.
std::vector<InductorRecord> coilRecords(const Doubles& measured, const Doubles& radius, const Doubles& wire,
                                        const Integers& turns, const Doubles& length) {
    const py::ssize_t n = coilCount({&measured, &radius, &wire, &turns, &length});
    std::vector<InductorRecord> records(static_cast<size_t>(n));
    const double* m = measured.data();
    const double* a = radius.data();
    const double* w = wire.data();
    const int32_t* t = turns.data();
    const double* len = length.data();
    for (py::ssize_t i = 0; i < n; ++i) {
        InductorRecord& coil = records[static_cast<size_t>(i)];
        coil.measuredInductance = m[i];
        coil.radius = a[i];
        coil.wire = w[i];
        coil.turns = t[i];
        coil.length = len[i];
        coil.next = i > 0 ? &records[static_cast<size_t>(i - 1)] : nullptr;
    }
    return records;
}

// The base formula the name gives; an unknown name is a ValueError.
BaseFormula baseNamed(const std::string& name) {
    if (const auto base = baseFormulaNamed(name.c_str())) return *base;
    throw py::value_error("unknown base " + name + ", known: " + baseFormulaNames());
}

// The inductance of each coil, NaN where the set cannot evaluate it; under a
// base, the corrected formula's, computed as the program computes it: the
// equation's value times the coil's base factor.
Doubles inductance(const Doubles& coefficients, const Doubles& radius, const Doubles& wire, const Integers& turns,
                   const Doubles& length, const std::string& baseName) {
    const ResultRecord set = coefficientSet(coefficients);
    const BaseFormula base = baseNamed(baseName);
    const py::ssize_t n = coilCount({&radius, &wire, &turns, &length});
    Doubles computed(n);
    double* out = computed.mutable_data();
    const double* a = radius.data();
    const double* w = wire.data();
    const int32_t* t = turns.data();
    const double* len = length.data();
    {
        py::gil_scoped_release unlocked;
        InductorRecord coil{};
        for (py::ssize_t i = 0; i < n; ++i) {
            coil.radius = a[i];
            coil.wire = w[i];
            coil.turns = t[i];
            coil.length = len[i];
            coil.baseFactor = base == BaseFormula::none
                                  ? 0
                                  : baseFactor(base, coil.radius, static_cast<double>(coil.turns), coil.length,
                                               coil.wire);
            const double value = correctedInductance(&coil, evalInductorAbs(&coil, &set));
            out[i] = value == kNoValue ? std::numeric_limits<double>::quiet_NaN() : value;
        }
    }
    return computed;
}

// The goodness, NaN when the set evaluates no coil.
double goodness(const Doubles& coefficients, const Doubles& measured, const Doubles& radius, const Doubles& wire,
                const Integers& turns, const Doubles& length) {
    ResultRecord set = coefficientSet(coefficients);
    const std::vector<InductorRecord> records = coilRecords(measured, radius, wire, turns, length);
    evalInductors(records.empty() ? nullptr : &records.back(), &set);
    return set.goodness == kNoValue ? std::numeric_limits<double>::quiet_NaN() : set.goodness;
}

// A classical formula's inductance of each coil (henry), NaN where it
// cannot evaluate the coil: solenoid, wheeler, sheet, lundin or sheetrosa.
Doubles classical(const std::string& name, const Doubles& radius, const Doubles& wire, const Integers& turns,
                  const Doubles& length) {
    using Formula = double (*)(double, double, double, double);
    Formula formula = nullptr;
    if (name == "solenoid") formula = [](double a, double n, double l, double) { return idealSolenoidInductance(a, n, l); };
    if (name == "wheeler") formula = [](double a, double n, double l, double) { return wheelerInductance(a, n, l); };
    if (name == "sheet") formula = [](double a, double n, double l, double) { return currentSheetInductance(a, n, l); };
    if (name == "lundin") formula = [](double a, double n, double l, double) { return lundinInductance(a, n, l); };
    if (name == "sheetrosa") formula = currentSheetRosaInductance;
    if (formula == nullptr) throw py::value_error("unknown formula " + name);
    const py::ssize_t n = coilCount({&radius, &wire, &turns, &length});
    Doubles computed(n);
    for (py::ssize_t i = 0; i < n; ++i)
        computed.mutable_at(i) = formula(radius.at(i), static_cast<double>(turns.at(i)), length.at(i), wire.at(i));
    return computed;
}

}  // namespace

PYBIND11_MODULE(_quelmo, m) {
    m.doc() = "The program's equation, goodness and coil reader (use the functions of the quelmo package)";
    static py::exception<ReadFailure> readFailure(m, "ReadFailure");
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const ReadFailure& error) {
            PyErr_SetString(readFailure.ptr(), error.message.c_str());
        }
    });
    m.def("read_coils", &readCoils, py::arg("path"));
    m.def("inductance", &inductance, py::arg("coefficients"), py::arg("radius"), py::arg("wire"), py::arg("turns"),
          py::arg("length"), py::arg("base") = "none");
    m.def("classical", &classical, py::arg("name"), py::arg("radius"), py::arg("wire"), py::arg("turns"),
          py::arg("length"));
    m.def("goodness", &goodness, py::arg("coefficients"), py::arg("measured"), py::arg("radius"), py::arg("wire"),
          py::arg("turns"), py::arg("length"));
}
