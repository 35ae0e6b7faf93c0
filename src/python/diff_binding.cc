// compute_diff_report: the Python entry to the diff.
//
// The steps run in a fixed order and the first failure ends the call:
// argument binding and checks (the seed read through the index protocol),
// the records of the baseline, those of the candidate, the price table, the
// diff, and the conversion of the report into a dict.

#include "python/python_api.h"

#include <array>
#include <optional>
#include <string>

#include "core/diff/compute_report.h"
#include "core/diff/cost.h"
#include "core/diff/report.h"
#include "core/error.h"
#include "python/arguments.h"
#include "python/errors.h"
#include "python/functions.h"
#include "python/object.h"
#include "python/to_json_value.h"
#include "python/to_python.h"

namespace korvane::python {
namespace {

// One price entry: a 2-tuple of float-convertible items, or else the array
// and object forms read from the value's JSON form.
diff::ModelPricing read_price_entry(PyObject* value, Conversion& conversion) {
  if (PyTuple_Check(value) && PyTuple_Size(value) == 2) {
    const double input = PyFloat_AsDouble(PyTuple_GetItem(value, 0));
    if (input != -1.0 || !PyErr_Occurred()) {
      const double output = PyFloat_AsDouble(PyTuple_GetItem(value, 1));
      if (output != -1.0 || !PyErr_Occurred()) {
        diff::ModelPricing pricing;
        pricing.input = input;
        pricing.output = output;
        return pricing;
      }
    }
    if (interrupt_pending()) throw_pending();
    PyErr_Clear();
  }
  try {
    return diff::model_pricing_from_value(conversion.convert(value));
  } catch (const Error& e) {
    throw Error("pricing value: " + e.message());
  }
}

// The price table of a pricing dict, visited in the dict's own stored order
// whatever iteration a subclass defines. Converting a value can run Python
// code (__float__, __index__, __getitem__...) that changes the dict; that is
// caught as the interpreter's own dict iteration catches it.
diff::PricingTable read_pricing(PyObject* dict, Conversion& conversion) {
  diff::PricingTable table;
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t remaining = size;
  Py_ssize_t position = 0;
  PyObject* borrowed_key = nullptr;
  PyObject* borrowed_value = nullptr;
  for (;;) {
    if (PyDict_Size(dict) != size) throw InternalError("dictionary changed size during iteration");
    if (!PyDict_Next(dict, &position, &borrowed_key, &borrowed_value)) break;
    if (remaining == 0) throw InternalError("dictionary keys changed during iteration");
    --remaining;
    PyRef key = PyRef::borrow(borrowed_key);
    PyRef value = PyRef::borrow(borrowed_value);

    if (!PyUnicode_Check(key.get())) {
      throw Error("pricing key: TypeError: '" + type_name_of(key.get()) +
                  "' object cannot be converted to 'PyString'");
    }
    Py_ssize_t name_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key.get(), &name_size);
    if (name == nullptr) throw Error("pricing key: " + take_exception_message());
    std::string model(name, static_cast<size_t>(name_size));
    table.insert_or_assign(std::move(model), read_price_entry(value.get(), conversion));
  }
  return table;
}

}  // namespace

PyObject* compute_diff_report(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 4> kParameters = {"baseline", "candidate", "pricing", "seed"};
    const auto [baseline, candidate, pricing_arg, seed_arg] =
        bind_call("compute_diff_report", kParameters, 2, args, kwargs);
    check_list(baseline, "baseline");
    check_list(candidate, "candidate");
    PyObject* pricing = none_as_absent(pricing_arg);
    if (pricing != nullptr) check_dict(pricing, "pricing");
    const std::optional<uint64_t> seed = read_optional_u64(none_as_absent(seed_arg), "seed");

    Conversion conversion;  // the records borrow from it
    const std::vector<agentlog::Record> baseline_records = pylist_to_records(baseline, conversion);
    const std::vector<agentlog::Record> candidate_records = pylist_to_records(candidate, conversion);
    // Reading prices runs Python code (__float__, keys(), ...).
    conversion.pin();
    const diff::PricingTable table = pricing != nullptr ? read_pricing(pricing, conversion) : diff::PricingTable{};
    const diff::DiffReport report = diff::compute_report(baseline_records, candidate_records, table, seed);
    return to_python(diff::report_to_json(report)).release();
  });
}

}  // namespace korvane::python
