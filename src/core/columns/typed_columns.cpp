// Turning a number column into a text column.
#include "core/columns/typed_columns.hpp"

#include "core/formats/number_format.hpp"

namespace colenc {

void TypedColumns::turn_to_text(std::size_t j) {
  if (keeps_numbers(j)) return;
  std::vector<double>& numbers = number_cells[j];
  TextColumn& texts = text_cells[j];
  texts.clear();
  texts.reserve(row_count, numbers.size() * 4);
  std::string scratch;
  for (double value : numbers) {
    scratch.clear();
    append_number(scratch, value);
    texts.push_back(scratch);
  }
  std::vector<double>().swap(numbers);
  column_is_text[j] = true;
}

}  // namespace colenc
