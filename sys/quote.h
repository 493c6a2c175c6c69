// The one quoting helper for values from the command line or a package that
// reach a shell command line. A plain word (letters, digits and -_./:@%+=,)
// is returned unchanged, so ordinary command lines stay exactly as given;
// anything else is single-quoted so that the shell takes it as one word.
#pragma once

#include <string>
#include <string_view>

namespace sys {

[[nodiscard]] bool IsPlainWord(std::string_view word);
[[nodiscard]] std::string ShellQuote(std::string_view word);

}  // namespace sys
