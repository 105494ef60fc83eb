#include "table.h"

#include <algorithm>

#include "escape.h"

namespace prcontroller {
namespace {

// A cell wider than this does not widen its column: one huge name must not
// pad every other row out to its size.
constexpr std::size_t kMaxColumnWidth = 64;

}  // namespace

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
  // Each cell's width is measured once; widths, padding and trimming then
  // cost no more than the text itself, however long one cell is.
  const std::size_t n = columns_.size();
  std::vector<std::size_t> cell_widths;
  cell_widths.reserve((rows_.size() + 1) * n);
  for (const Column& column : columns_) cell_widths.push_back(DisplayWidth(column.title));
  for (const auto& row : rows_)
    for (const std::string& cell : row) cell_widths.push_back(DisplayWidth(cell));
  std::vector<std::size_t> widths(n);
  for (std::size_t at = 0; at < cell_widths.size(); ++at)
    if (cell_widths[at] <= kMaxColumnWidth)
      widths[at % n] = std::max(widths[at % n], cell_widths[at]);

  std::string out;
  std::size_t at = 0;
  auto emit = [&](const auto& cells) {
    const std::size_t line_start = out.size();
    for (std::size_t c = 0; c < n; ++c, ++at) {
      const std::string& cell = cells(c);
      const std::size_t pad = widths[c] - std::min(widths[c], cell_widths[at]);
      const bool last = c + 1 == n;
      if (c > 0) out += "  ";
      if (columns_[c].align == Table::Align::kRight) out.append(pad, ' ');
      out += cell;
      if (columns_[c].align == Table::Align::kLeft && !last) out.append(pad, ' ');
    }
    const std::size_t end = out.find_last_not_of(' ');
    out.resize(end == std::string::npos || end < line_start ? line_start : end + 1);
    out += '\n';
  };
  emit([&](std::size_t c) -> const std::string& { return columns_[c].title; });
  for (const auto& row : rows_)
    emit([&](std::size_t c) -> const std::string& { return row[c]; });
  return out;
}

}  // namespace prcontroller
