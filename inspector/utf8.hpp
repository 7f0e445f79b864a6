// Whether bytes are valid UTF-8, as Python's strict decoder judges them.
#pragma once

#include <string_view>

namespace vornel::inspector {

bool is_valid_utf8(std::string_view bytes);

} // namespace vornel::inspector
