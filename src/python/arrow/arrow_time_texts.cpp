// Time texts from ticks: written here for dates, times, durations and UTC or
// naive timestamps; by pandas for zoned timestamps, whose offsets depend on
// the zone's rules.
#include "python/arrow/arrow_time_texts.hpp"

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/formats/time_text.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {
namespace {

const char* numpy_unit(int digits) {
  switch (digits) {
    case 0:
      return "M8[s]";
    case 3:
      return "M8[ms]";
    case 6:
      return "M8[us]";
    default:
      return "M8[ns]";
  }
}

// Writes texts[at[k]] for ticks[at[k]] through pandas: a DatetimeIndex of the
// ticks in their own unit, put into the zone, each Timestamp's str().
void texts_through_pandas(const ArrowType& type, const std::vector<std::int64_t>& ticks,
                          const std::vector<std::size_t>& at, std::vector<std::string>& texts) {
  ensure_numpy_api();
  npy_intp size = static_cast<npy_intp>(at.size());
  PyRef values = PyRef::steal(PyArray_SimpleNew(1, &size, NPY_INT64));
  throw_if(!values);
  auto* data =
      static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
  for (std::size_t k = 0; k < at.size(); ++k) data[k] = ticks[at[k]];
  PyRef times =
      PyRef::steal(PyObject_CallMethod(values.get(), "view", "s", numpy_unit(type.digits)));
  throw_if(!times);
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  throw_if(!pandas);
  PyRef index = PyRef::steal(PyObject_CallMethod(pandas.get(), "DatetimeIndex", "O", times.get()));
  throw_if(!index);
  if (type.zoned) {
    index = PyRef::steal(PyObject_CallMethod(index.get(), "tz_localize", "s", "UTC"));
    throw_if(!index);
    index = PyRef::steal(PyObject_CallMethod(index.get(), "tz_convert", "s", type.zone.c_str()));
    throw_if(!index);
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(index.get()));
  throw_if(!iterator);
  for (std::size_t k = 0; k < at.size(); ++k) {
    PyRef stamp = PyRef::steal(PyIter_Next(iterator.get()));
    throw_if(!stamp);
    PyRef text = PyRef::steal(PyObject_Str(stamp.get()));
    throw_if(!text);
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    throw_if(utf8 == nullptr);
    texts[at[k]].assign(utf8, static_cast<std::size_t>(length));
  }
}

[[noreturn]] void raise_out_of_range(const ArrowType& type, std::int64_t tick) {
  PyErr_Format(PyExc_ValueError, "the %s value %lld is out of the range that Python can hold",
               type.name.c_str(), static_cast<long long>(tick));
  throw PythonError{};
}

// Days since 1970 of a date64 (milliseconds), rounded down as datetime does.
std::int64_t days_of(std::int64_t milliseconds) {
  constexpr std::int64_t kDay = 86'400'000;
  std::int64_t days = milliseconds / kDay;
  if (milliseconds % kDay < 0) --days;
  return days;
}

}  // namespace

std::vector<std::string> time_texts(const ArrowType& type, const std::vector<std::int64_t>& ticks) {
  std::vector<std::string> texts(ticks.size());
  std::vector<std::size_t> to_pandas;
  const bool utc = type.zone == "UTC" || type.zone == "+00:00";
  const std::string_view offset = type.zoned ? "+00:00" : "";
  for (std::size_t k = 0; k < ticks.size(); ++k) {
    const std::int64_t tick = ticks[k];
    std::string& out = texts[k];
    switch (type.kind) {
      case ArrowKind::kDate32:
        if (!append_date_text(out, tick)) raise_out_of_range(type, tick);
        break;
      case ArrowKind::kDate64:
        if (!append_date_text(out, days_of(tick))) raise_out_of_range(type, tick);
        break;
      case ArrowKind::kTime32:
      case ArrowKind::kTime64:
        if (!append_time_of_day_text(out, tick, type.digits)) raise_out_of_range(type, tick);
        break;
      case ArrowKind::kDuration:
        append_timedelta_text(out, tick, type.digits);
        break;
      default:  // timestamps
        if ((type.zoned && !utc) || !append_timestamp_text(out, tick, type.digits, offset)) {
          to_pandas.push_back(k);
        }
        break;
    }
  }
  if (!to_pandas.empty()) texts_through_pandas(type, ticks, to_pandas, texts);
  return texts;
}

}  // namespace colenc::py
