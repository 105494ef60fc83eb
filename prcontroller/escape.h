// Text that users supplied (job names, owners, request arguments) ends up on
// somebody's terminal. These helpers turn every byte that could drive a
// terminal into something printable, so no listing can move a cursor,
// change colours or swallow the lines after it.
#ifndef PRCONTROLLER_ESCAPE_H_
#define PRCONTROLLER_ESCAPE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace prcontroller {

// `text` with control characters made visible: C0 controls in caret form
// ("^[" for ESC), DEL as "^?", C1 and bidirectional controls as "\u0085",
// bytes that are not well-formed UTF-8 as "\xFF". Printable UTF-8 passes.
std::string Visible(std::string_view text);

// Visible(text) between double quotes, with '"' and '\' escaped by a
// backslash, so the quoted form is unambiguous even when the text holds
// quotes.
std::string Quoted(std::string_view text);

// Columns that visible text takes on a terminal: two for East Asian wide
// characters, none for combining marks, one for the rest.
std::size_t DisplayWidth(std::string_view visible);

}  // namespace prcontroller

#endif  // PRCONTROLLER_ESCAPE_H_
