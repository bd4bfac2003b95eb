#pragma once

#include <string>

namespace quillane::host {

enum class UserMessageKind { Information, Error };

// Tells the user something that must not only go to the log: a message box on
// Windows; on Linux information goes to standard output and errors to standard
// error. Blocks until the user has closed the box. Text is UTF-8.
void showUserMessage(UserMessageKind kind, const std::string& title, const std::string& text);

} // namespace quillane::host
