#pragma once

#include <string>

namespace quillane::host {

// The computer's name as UTF-8, or empty when it cannot be read. Discovery
// replies carry it so that a user can tell hosts apart; window enumeration
// compares it with the machine an X client names.
std::string computerName();

}  // namespace quillane::host
