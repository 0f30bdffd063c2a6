#pragma once
// Reading the text of a PGM JSON network file into its typed records, in one pass.

#include <string>
#include <string_view>
#include <variant>

#include "pgm/records.hpp"

namespace quillmere::pgm {

// Reads the whole text as one PgmInput. On failure returns the one message
// "{message} at line {L} column {C}", the line counted from line feeds and the column in bytes.
std::variant<PgmInput, std::string> parse_pgm_json(std::string_view text);

}  // namespace quillmere::pgm
