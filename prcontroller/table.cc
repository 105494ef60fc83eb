#include "table.h"

#include <algorithm>

#include "escape.h"

namespace prcontroller {

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
  std::vector<std::size_t> widths(columns_.size());
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    widths[c] = DisplayWidth(columns_[c].title);
    for (const auto& row : rows_)
      widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  }

  std::string out;
  auto emit = [&](auto cell_of) {
    std::string line;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      const std::string& cell = cell_of(c);
      const std::string pad(widths[c] - DisplayWidth(cell), ' ');
      if (c > 0) line += "  ";
      if (columns_[c].align == Align::kRight) line += pad + cell;
      else line += cell + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  };
  emit([&](std::size_t c) -> const std::string& { return columns_[c].title; });
  for (const auto& row : rows_)
    emit([&](std::size_t c) -> const std::string& { return row[c]; });
  return out;
}

}  // namespace prcontroller
