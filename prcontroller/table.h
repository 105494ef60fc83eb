// Aligned text columns under a header line, the way listings print.
#ifndef PRCONTROLLER_TABLE_H_
#define PRCONTROLLER_TABLE_H_

#include <string>
#include <vector>

namespace prcontroller {

class Table {
 public:
  enum class Align { kLeft, kRight };
  struct Column {
    std::string title;
    Align align = Align::kLeft;
  };

  explicit Table(std::vector<Column> columns);

  // Cells must already be visible text (see escape.h).
  void AddRow(std::vector<std::string> cells);

  // The header and the rows, two blanks between columns, each line ending
  // in "\n" and no line ending in blanks.
  std::string Render() const;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace prcontroller

#endif  // PRCONTROLLER_TABLE_H_
